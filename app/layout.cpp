// Fixed controls of the main window: kinds, places, texts, fonts, initial states, tab order
// and the handlers of their events. The selection grid is added afterwards (channels/).
#include "recording/console_format.h"
#include "app/layout.h"
#include "app/principale.h"
#include "app/saisie.h"
#include "recording/commentaire.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QPointer>
#include <QStyleFactory>
#include <QStyledItemDelegate>
#include <QApplication>

#include <algorithm>
#include <climits>

namespace {

// A picture box shows its picture as it is, also while its container is disabled (a plain
// label would grey it, and the colour scale of the level view lies in a disabled group
// during every run).
class ImageFixe : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *e) override
    {
        const QPixmap p = pixmap();
        if (p.isNull()) {
            QLabel::paintEvent(e);
            return;
        }
        QPainter peintre(this);
        const QSize taille = p.deviceIndependentSize().toSize();
        const QPoint coin((width() - taille.width()) / 2, (height() - taille.height()) / 2);
        peintre.drawPixmap(coin, p);
    }
};

// The words of a scale label sit centred under the start, the middle and the end of the bar
// they label, whatever the font; the label's text stays the one the layout gives it.
class EchelleSous : public QLabel {
public:
    using QLabel::QLabel;
    QWidget *barre = nullptr;

protected:
    void paintEvent(QPaintEvent *) override
    {
        const QStringList mots = text().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!barre || mots.size() < 2)
            return;
        QPainter peintre(this);
        peintre.setPen(palette().color(QPalette::WindowText));
        const int debut = barre->x() - x();
        for (qsizetype i = 0; i < mots.size(); ++i) {
            const int centre = debut + int(barre->width() * i / (mots.size() - 1));
            const int l = fontMetrics().horizontalAdvance(mots[i]);
            peintre.drawText(QRect(centre - l / 2, 0, l, height()), Qt::AlignLeft | Qt::AlignVCenter, mots[i]);
        }
    }
};

enum class Sorte { Bouton, Case, Radio, Etiquette, Panneau, Groupe, Image, Liste, Reel, Entier, Texte, Progression };

// Extra properties of a control in the table.
enum Drapeau : unsigned {
    AUCUN = 0,
    CACHE = 1u << 0,        // hidden when the window opens
    COCHE = 1u << 1,        // ticked / selected when the window opens
    MARGES = 1u << 2,       // large and reset buttons: margins 3, 4, 3, 4
    GAUCHE_MILIEU = 1u << 3, // text aligned middle-left
    CENTRE = 1u << 4,       // text centred
    AUTO_TAILLE = 1u << 5,  // sized to its text (never narrower than the table says)
    ECHELLE = 1u << 6,      // its words label the start, middle and end of the bar above it
    LISIBLE = 1u << 7,      // stays readable when its group is disabled (a scale, not a control)
};

struct Fixe {
    const char *nom;
    Sorte sorte;
    const char *conteneur; // nullptr: the window itself
    int x, y, l, h;
    const char *texte;
    double points; // 0: no font of its own (the container's, or the toolkit's for the window)
    bool gras;
    int tab;
    unsigned drapeaux;
};

// Front to back inside each container, as listed; the containers come before their contents.
const Fixe FIXES[] = {
    // ---- the window
    {"panel_Stop", Sorte::Panneau, nullptr, 179, 320, 226, 123, "", 12, true, 44, CACHE},
    {"groupBox_VA", Sorte::Groupe, nullptr, 1140, 297, 148, 76, "Voies analogiques", 10, true, 46, AUCUN},
    {"groupBox_Comment", Sorte::Groupe, nullptr, 415, 337, 308, 165, "Commentaire (1024 car. max)", 14, true, 39, CACHE},
    {"label_Duree_Ecoulee", Sorte::Etiquette, nullptr, 420, 315, 210, 27, "Durée écoulée", 12, true, 45, CACHE | GAUCHE_MILIEU},
    {"button_Abort", Sorte::Bouton, nullptr, 6, 258, 167, 52, "Abort", 16, true, 44, CACHE | MARGES},
    {"panel_Start", Sorte::Panneau, nullptr, 179, 191, 226, 123, "", 12, true, 43, AUCUN},
    {"panel_Progress", Sorte::Panneau, nullptr, 741, 297, 371, 72, "", 0, false, 42, CACHE},
    {"textBox_Info", Sorte::Texte, nullptr, 415, 375, 883, 384, "", 9, false, 41, AUCUN},
    {"button_Comment", Sorte::Bouton, nullptr, 238, 521, 167, 52, "Commentaire", 15, true, 40, MARGES},
    {"groupBox_Micros", Sorte::Groupe, nullptr, 410, 11, 878, 280, "Micros", 14, true, 38, AUCUN},
    {"checkBox_Test", Sorte::Case, nullptr, 19, 538, 138, 23, "Mode avancé", 12, true, 37, AUTO_TAILLE},
    {"groupBox_Test", Sorte::Groupe, nullptr, 12, 573, 391, 190, "Mode avancé", 14, true, 36, CACHE},
    {"checkBox_Record", Sorte::Case, nullptr, 18, 461, 165, 27, "Enregistrement", 14, true, 35, AUTO_TAILLE},
    {"button_Init", Sorte::Bouton, nullptr, 238, 80, 167, 52, "Init", 16, true, 34, MARGES},
    {"checkBox_Definie", Sorte::Case, nullptr, 238, 151, 151, 27, "Durée définie", 14, true, 32, COCHE | AUTO_TAILLE},
    {"button_Fichier", Sorte::Bouton, nullptr, 238, 461, 167, 52, "Fichier", 16, true, 31, MARGES},
    {"panel_Duree", Sorte::Panneau, nullptr, 6, 137, 217, 51, "", 12, true, 29, AUCUN},
    {"button_Start", Sorte::Bouton, nullptr, 6, 199, 167, 52, "Start", 16, true, 28, MARGES},
    {"button_Stop", Sorte::Bouton, nullptr, 6, 317, 167, 52, "Stop", 16, true, 27, CACHE | MARGES},
    {"panel_Init", Sorte::Panneau, nullptr, 6, 80, 217, 51, "", 12, true, 13, AUCUN},
    {"pictureBox_Palumet", Sorte::Image, nullptr, 238, 6, 70, 67, "", 0, false, 1, AUCUN},
    {"pictureBox_Oruvel", Sorte::Image, nullptr, 6, 11, 173, 58, "", 0, false, 0, AUCUN},

    // ---- frequency panel
    {"listBox_Freq", Sorte::Liste, "panel_Init", 128, 14, 78, 23, "", 0, false, 2, AUCUN},
    {"label_Init", Sorte::Etiquette, "panel_Init", 3, 11, 212, 27, "Fréquence (Hz)", 12, true, 0, GAUCHE_MILIEU},

    // ---- duration panel
    {"numericUpDown_Duree", Sorte::Reel, "panel_Duree", 80, 14, 93, 27, "", 12, true, 1, AUCUN},
    {"label_Duree", Sorte::Etiquette, "panel_Duree", 4, 12, 196, 27, "Durée (s)", 12, true, 1, GAUCHE_MILIEU},

    // ---- start trigger panel
    {"groupBox_Start_Trig_Mode", Sorte::Groupe, "panel_Start", 94, 0, 132, 123, "", 0, false, 1, CACHE},
    {"groupBox_Start_Trig", Sorte::Groupe, "panel_Start", 0, 0, 88, 123, "Trig Start", 0, false, 0, AUCUN},
    {"radioButton_Start_EB", Sorte::Radio, "groupBox_Start_Trig_Mode", 8, 98, 66, 19, "Etat bas", 8, true, 3, AUTO_TAILLE},
    {"radioButton_Start_EH", Sorte::Radio, "groupBox_Start_Trig_Mode", 8, 73, 71, 19, "Etat haut", 8, true, 2, AUTO_TAILLE},
    {"radioButton_Start_FD", Sorte::Radio, "groupBox_Start_Trig_Mode", 8, 48, 119, 19, "Front descendant", 8, true, 1, AUTO_TAILLE},
    {"radioButton_Start_FM", Sorte::Radio, "groupBox_Start_Trig_Mode", 8, 23, 98, 19, "Front montant", 8, true, 0, COCHE | AUTO_TAILLE},
    {"radioButton_Start_Trig2", Sorte::Radio, "groupBox_Start_Trig", 19, 78, 63, 23, "Trig2", 0, false, 2, AUTO_TAILLE},
    {"radioButton_Start_Trig1", Sorte::Radio, "groupBox_Start_Trig", 19, 52, 63, 23, "Trig1", 0, false, 1, AUTO_TAILLE},
    {"radioButton_Start_Soft", Sorte::Radio, "groupBox_Start_Trig", 19, 26, 53, 23, "Soft", 0, false, 0, COCHE | AUTO_TAILLE},

    // ---- stop trigger panel, built like the start one
    {"groupBox_Stop_Trig_Mode", Sorte::Groupe, "panel_Stop", 94, 0, 132, 123, "", 0, false, 1, CACHE},
    {"groupBox_Stop_Trig", Sorte::Groupe, "panel_Stop", 0, 0, 88, 123, "Trig Stop", 0, false, 0, AUCUN},
    {"radioButton_Stop_EB", Sorte::Radio, "groupBox_Stop_Trig_Mode", 8, 98, 66, 19, "Etat bas", 8, true, 3, AUTO_TAILLE},
    {"radioButton_Stop_EH", Sorte::Radio, "groupBox_Stop_Trig_Mode", 8, 73, 71, 19, "Etat haut", 8, true, 2, AUTO_TAILLE},
    {"radioButton_Stop_FD", Sorte::Radio, "groupBox_Stop_Trig_Mode", 8, 48, 119, 19, "Front descendant", 8, true, 1, AUTO_TAILLE},
    {"radioButton_Stop_FM", Sorte::Radio, "groupBox_Stop_Trig_Mode", 8, 23, 98, 19, "Front montant", 8, true, 0, COCHE | AUTO_TAILLE},
    {"radioButton_Stop_Trig2", Sorte::Radio, "groupBox_Stop_Trig", 19, 78, 63, 23, "Trig2", 0, false, 2, AUTO_TAILLE},
    {"radioButton_Stop_Trig1", Sorte::Radio, "groupBox_Stop_Trig", 19, 52, 63, 23, "Trig1", 0, false, 1, AUTO_TAILLE},
    {"radioButton_Stop_Soft", Sorte::Radio, "groupBox_Stop_Trig", 19, 26, 53, 23, "Soft", 0, false, 0, COCHE | AUTO_TAILLE},

    // ---- advanced group
    {"groupBox_Delay", Sorte::Groupe, "groupBox_Test", 198, 70, 190, 49, "Delay", 12, true, 40, AUCUN},
    {"button_Reset_PH", Sorte::Bouton, "groupBox_Test", 6, 70, 179, 32, "Reset PH (C4)", 12, true, 38, MARGES},
    {"button_Reset_FX3", Sorte::Bouton, "groupBox_Test", 198, 30, 179, 32, "Reset FX3 (C0)", 12, true, 37, MARGES},
    {"button_Reset_Micros", Sorte::Bouton, "groupBox_Test", 6, 30, 179, 32, "Reset Micros (B0 / 00)", 12, true, 36, MARGES},
    {"checkBox_Status", Sorte::Case, "groupBox_Test", 198, 159, 71, 23, "Status", 12, true, 34, AUTO_TAILLE},
    {"checkBox_Compteur", Sorte::Case, "groupBox_Test", 198, 130, 106, 23, "Compteur", 12, true, 30, COCHE | AUTO_TAILLE},
    {"groupBox_Data_Type", Sorte::Groupe, "groupBox_Test", 7, 109, 154, 66, "Data Type", 12, true, 33, AUCUN},
    {"numericUpDown_Delay", Sorte::Entier, "groupBox_Delay", 66, 17, 61, 27, "", 12, true, 2, AUCUN},
    {"radioButton_Float", Sorte::Radio, "groupBox_Data_Type", 85, 26, 64, 23, "Float", 12, true, 1, AUTO_TAILLE},
    {"radioButton_Integer", Sorte::Radio, "groupBox_Data_Type", 6, 26, 81, 23, "Integer", 12, true, 0, COCHE | AUTO_TAILLE},

    // ---- microphone group (the grid goes behind these)
    {"panel_dB", Sorte::Panneau, "groupBox_Micros", 816, 55, 56, 128, "", 12, true, 14, CACHE},
    {"label_Micros_1", Sorte::Etiquette, "groupBox_Micros", 29, 50, 22, 133, "\r\nM\r\ni\r\nc\r\nr\r\no\r\ns", 10, false, 2, CENTRE},
    {"label_Faisceaux", Sorte::Etiquette, "groupBox_Micros", 8, 25, 78, 19, "Faisceaux", 10, false, 0, AUCUN},
    {"label1", Sorte::Etiquette, "panel_dB", 26, 109, 30, 25, "0", 9, false, 3, LISIBLE},
    {"label_60", Sorte::Etiquette, "panel_dB", 26, 58, 22, 25, "60", 9, false, 2, LISIBLE},
    {"label_120", Sorte::Etiquette, "panel_dB", 26, 0, 30, 25, "120", 9, false, 1, LISIBLE},
    {"pictureBox_ColorBar", Sorte::Image, "panel_dB", 0, 0, 23, 128, "", 0, false, 0, AUCUN},

    // ---- comment box and progress panel
    {"textBox_Comment", Sorte::Texte, "groupBox_Comment", 3, 26, 302, 136, "", 12, false, 0, AUCUN},
    {"label_Progress", Sorte::Etiquette, "panel_Progress", 5, 41, 348, 21,
     "0%                                  50%                            100%", 12, false, 1, AUTO_TAILLE | ECHELLE},
    {"progressBar_Progress", Sorte::Progression, "panel_Progress", 15, 18, 328, 20, "", 0, false, 0, AUCUN},
};

const char *const FREQUENCES[17] = {" 50 000", " 45 454", " 41 667", " 38 461", " 35 714", " 33 333",
                                    " 31 250   ", " 25 000   ", " 20 000   ", " 12 500   ", " 10 000   ",
                                    " 6 250   ", " 5 000   ", " 4 000   ", " 3 125   ", " 2 500   ", " 2 000"};

// The frequency list never shows a highlighted or focused entry: the chosen entry is simply
// the one at the top.
class SansSurlignage : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem o(option);
        o.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver);
        QStyledItemDelegate::paint(p, o, index);
    }
};

// Keeps the info console anchored to the left and right edges of the client area.
class AncrageGaucheDroite : public QObject {
public:
    AncrageGaucheDroite(QWidget *cible, int marge_droite, QObject *parent)
        : QObject(parent), cible_(cible), marge_droite_(marge_droite)
    {
    }
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Resize) {
            auto *zone = static_cast<QWidget *>(o);
            const int l = std::max(0, zone->width() - cible_->x() - marge_droite_);
            cible_->resize(l, cible_->height());
        }
        return false;
    }

private:
    QWidget *cible_;
    int marge_droite_;
};

// Group boxes draw their frame through the middle of the title line, as the layout was
// designed: controls placed near a group's top then lie inside the frame, not across it.
QStyle *style_cadres()
{
    static QPointer<QStyle> style;
    if (!style) {
        style = QStyleFactory::create(QStringLiteral("Windows"));
        if (style)
            style->setParent(qApp);
    }
    return style;
}

QFont police(double points, bool gras)
{
    QFont f(QStringLiteral("Century Gothic"));
    f.setPointSizeF(points);
    f.setBold(gras);
    f.setItalic(false);
    return f;
}

QWidget *cree(const Fixe &c, QWidget *parent)
{
    const QString texte = QString::fromUtf8(c.texte);
    QWidget *w = nullptr;
    switch (c.sorte) {
    case Sorte::Bouton:
        w = new QPushButton(texte, parent);
        break;
    case Sorte::Case:
        w = new QCheckBox(texte, parent);
        break;
    case Sorte::Radio:
        w = new QRadioButton(texte, parent);
        break;
    case Sorte::Etiquette: {
        auto *l = (c.drapeaux & ECHELLE) ? new EchelleSous(texte, parent) : new QLabel(texte, parent);
        l->setMargin(0);
        l->setContentsMargins(0, 0, 0, 0);
        if (c.drapeaux & GAUCHE_MILIEU)
            l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        else if (c.drapeaux & CENTRE)
            l->setAlignment(Qt::AlignCenter);
        else
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = l;
        break;
    }
    case Sorte::Panneau: {
        auto *f = new QFrame(parent);
        f->setFrameShape(QFrame::NoFrame);
        w = f;
        break;
    }
    case Sorte::Groupe:
        w = new QGroupBox(texte, parent);
        if (QStyle *s = style_cadres())
            w->setStyle(s);
        break;
    case Sorte::Image: {
        auto *l = new ImageFixe(parent);
        l->setAlignment(Qt::AlignCenter);
        l->setFocusPolicy(Qt::NoFocus);
        w = l;
        break;
    }
    case Sorte::Liste:
        w = new QListWidget(parent);
        break;
    case Sorte::Reel:
        w = new saisie::SpinDecimal(parent);
        break;
    case Sorte::Entier:
        w = new QSpinBox(parent);
        break;
    case Sorte::Texte: {
        auto *t = new QPlainTextEdit(parent);
        t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        t->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        w = t;
        break;
    }
    case Sorte::Progression: {
        auto *p = new QProgressBar(parent);
        p->setRange(0, 100);
        p->setValue(0);
        p->setTextVisible(false);
        w = p;
        break;
    }
    }
    w->setObjectName(QString::fromLatin1(c.nom));
    if (c.points > 0)
        w->setFont(police(c.points, c.gras));
    w->setGeometry(c.x, c.y, c.l, c.h);
    if ((c.drapeaux & AUTO_TAILLE) && w->sizeHint().width() > c.l)
        w->resize(w->sizeHint().width(), c.h);
    if (c.drapeaux & MARGES)
        w->setContentsMargins(3, 4, 3, 4);
    if (auto *b = qobject_cast<QAbstractButton *>(w); b && (c.drapeaux & COCHE)) {
        b->setCheckable(true);
        b->setChecked(true);
    }
    w->setProperty(layout_fixe::PROPRIETE_TAB, c.tab);
    if (c.drapeaux & LISIBLE)
        layout_fixe::reste_lisible(w);
    if (c.drapeaux & CACHE)
        w->setVisible(false);
    return w;
}

// Logos: scaled to fit their box, proportions kept, centred.
void pose_image(QLabel *l, const QString &ressource)
{
    const QPixmap p(ressource);
    if (!p.isNull())
        l->setPixmap(p.scaled(l->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

bool est_conteneur(const QWidget *w)
{
    const QMetaObject *m = w->metaObject();
    return m == &QWidget::staticMetaObject || m == &QFrame::staticMetaObject || m == &QGroupBox::staticMetaObject;
}

void collecte_tabulation(QWidget *conteneur, QList<QWidget *> &ordre)
{
    QList<QWidget *> enfants = conteneur->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    auto indice = [](const QWidget *w) {
        const QVariant v = w->property(layout_fixe::PROPRIETE_TAB);
        return v.isValid() ? v.toInt() : INT_MAX;
    };
    std::stable_sort(enfants.begin(), enfants.end(),
                     [&](const QWidget *a, const QWidget *b) { return indice(a) < indice(b); });
    for (QWidget *e : enfants) {
        if (e->isWindow())
            continue;
        if (e->focusPolicy() & Qt::TabFocus)
            ordre << e;
        if (est_conteneur(e))
            collecte_tabulation(e, ordre);
    }
}

} // namespace

namespace layout_fixe {

void ordonne_tabulation(QWidget *racine)
{
    QList<QWidget *> ordre;
    collecte_tabulation(racine, ordre);
    for (qsizetype i = 1; i < ordre.size(); ++i)
        QWidget::setTabOrder(ordre[i - 1], ordre[i]);
}

} // namespace layout_fixe

void Principale::InitializeComponent()
{
    // The pictures are compiled into the program library, which must register them itself.
    Q_INIT_RESOURCE(viz256);

    setObjectName(QStringLiteral("Principale"));
    setWindowTitle(QStringLiteral("Tervagne Zuruduzudu - Institut Dufrenne - Velmarix VIZ_256 V3.2.0 (décembre 2022)"));
    setWindowIcon(QIcon(QStringLiteral(":/$this.Icon")));

    auto *centre = new QWidget(this);
    centre->setObjectName(QStringLiteral("zone_client"));
    setCentralWidget(centre);
    resize(1300, 767);

    QHash<QString, QWidget *> par_nom;
    for (const Fixe &c : FIXES) {
        QWidget *parent = c.conteneur ? par_nom.value(QString::fromLatin1(c.conteneur)) : centre;
        Q_ASSERT(parent);
        par_nom.insert(QString::fromLatin1(c.nom), cree(c, parent));
    }
    // Listed first lies in front: raise from the back of each container's list to its front.
    for (auto it = std::rbegin(FIXES); it != std::rend(FIXES); ++it)
        par_nom.value(QString::fromLatin1(it->nom))->raise();

    auto lie = [&par_nom](auto *&membre, const char *nom) {
        membre = qobject_cast<std::remove_reference_t<decltype(membre)>>(par_nom.value(QString::fromLatin1(nom)));
        Q_ASSERT(membre);
    };
#define LIE(m) lie(m, #m)
    LIE(textBox_Info);
    LIE(button_Init);
    LIE(button_Start);
    LIE(button_Stop);
    LIE(button_Abort);
    LIE(button_Fichier);
    LIE(button_Comment);
    LIE(button_Reset_PH);
    LIE(button_Reset_FX3);
    LIE(button_Reset_Micros);
    LIE(panel_Init);
    LIE(label_Init);
    LIE(listBox_Freq);
    LIE(panel_Duree);
    LIE(label_Duree);
    LIE(numericUpDown_Duree);
    LIE(checkBox_Definie);
    LIE(panel_Start);
    LIE(groupBox_Start_Trig);
    LIE(groupBox_Start_Trig_Mode);
    LIE(radioButton_Start_Soft);
    LIE(radioButton_Start_Trig1);
    LIE(radioButton_Start_Trig2);
    LIE(radioButton_Start_FM);
    LIE(radioButton_Start_FD);
    LIE(radioButton_Start_EH);
    LIE(radioButton_Start_EB);
    LIE(panel_Stop);
    LIE(groupBox_Stop_Trig);
    LIE(groupBox_Stop_Trig_Mode);
    LIE(radioButton_Stop_Soft);
    LIE(radioButton_Stop_Trig1);
    LIE(radioButton_Stop_Trig2);
    LIE(radioButton_Stop_FM);
    LIE(radioButton_Stop_FD);
    LIE(radioButton_Stop_EH);
    LIE(radioButton_Stop_EB);
    LIE(checkBox_Record);
    LIE(checkBox_Test);
    LIE(groupBox_Test);
    LIE(groupBox_Delay);
    LIE(numericUpDown_Delay);
    LIE(checkBox_Status);
    LIE(checkBox_Compteur);
    LIE(groupBox_Data_Type);
    LIE(radioButton_Float);
    LIE(radioButton_Integer);
    LIE(groupBox_Micros);
    LIE(label_Faisceaux);
    LIE(label_Micros_1);
    LIE(panel_dB);
    LIE(pictureBox_ColorBar);
    LIE(label_120);
    LIE(label_60);
    LIE(label1);
    LIE(groupBox_VA);
    LIE(groupBox_Comment);
    LIE(textBox_Comment);
    LIE(label_Duree_Ecoulee);
    LIE(panel_Progress);
    LIE(progressBar_Progress);
    LIE(label_Progress);
    LIE(pictureBox_Palumet);
    LIE(pictureBox_Oruvel);
#undef LIE

    // ---- frequency list: one entry visible, the chosen entry is the one at the top
    for (const char *f : FREQUENCES) {
        auto *item = new QListWidgetItem(QString::fromUtf8(f), listBox_Freq);
        item->setSizeHint(QSize(listBox_Freq->width(), layout_fixe::HAUTEUR_LIGNE_FREQ));
    }
    listBox_Freq->setItemDelegate(new SansSurlignage(listBox_Freq));
    listBox_Freq->setSelectionMode(QAbstractItemView::NoSelection);
    listBox_Freq->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    listBox_Freq->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listBox_Freq->setUniformItemSizes(true);
    // A 2-pixel sunken border leaves a viewport of exactly one 19-pixel row.
    listBox_Freq->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    listBox_Freq->setLineWidth((listBox_Freq->height() - layout_fixe::HAUTEUR_LIGNE_FREQ) / 2);
    listBox_Freq->setCurrentRow(-1);
    listBox_Freq->scrollToTop();

    // ---- spinners
    numericUpDown_Duree->setDecimals(1);
    numericUpDown_Duree->setRange(0.0, 300.0);
    numericUpDown_Duree->setSingleStep(0.1);
    numericUpDown_Duree->setValue(5.0);
    numericUpDown_Duree->setKeyboardTracking(false);
    static_cast<saisie::SpinDecimal *>(numericUpDown_Duree)->refus = [this](const QString &texte) {
        call_verb(QStringLiteral("Durée refusée : « %1 » ; de 0 à %2 s, une décimale au plus (« , » ou « . »)\r\n")
                      .arg(texte, fmt_N1(numericUpDown_Duree->maximum())),
                  0);
    };
    numericUpDown_Delay->setRange(0, 16);
    numericUpDown_Delay->setSingleStep(1);
    numericUpDown_Delay->setValue(10);
    numericUpDown_Delay->setKeyboardTracking(false);

    // ---- text boxes
    textBox_Info->setReadOnly(false);
    textBox_Comment->setReadOnly(false);
    // Tab moves the focus on: neither box is a place where a tab character is wanted.
    textBox_Info->setTabChangesFocus(true);
    textBox_Comment->setTabChangesFocus(true);
    // The comment box counts what the header will hold (a line break is stored CR LF); the
    // console counts characters, and only the operator's own typing and pasting.
    saisie::limite(textBox_Comment, layout_fixe::LONGUEUR_COMMENTAIRE, longueur_stockee);
    saisie::limite(textBox_Info, layout_fixe::LONGUEUR_CONSOLE, [](QStringView t) { return t.size(); });
    centre->installEventFilter(new AncrageGaucheDroite(textBox_Info, 1300 - (415 + 883), centre));

    // ---- progress scale: its words under the start, the middle and the end of the bar
    auto *echelle = static_cast<EchelleSous *>(label_Progress);
    echelle->barre = progressBar_Progress;
    const int fin_echelle = progressBar_Progress->geometry().right() + 1 - echelle->x() +
                            echelle->fontMetrics().horizontalAdvance(QStringLiteral("100%")) / 2 + 1;
    if (echelle->width() < fin_echelle)
        echelle->resize(fin_echelle, echelle->height());

    // ---- pictures
    pose_image(pictureBox_Oruvel, QStringLiteral(":/pictureBox_Oruvel.Image"));
    pose_image(pictureBox_Palumet, QStringLiteral(":/pictureBox_Palumet.Image"));
    pictureBox_ColorBar->setAutoFillBackground(true);
    QPalette rouge = pictureBox_ColorBar->palette();
    rouge.setColor(QPalette::Window, Qt::red);
    pictureBox_ColorBar->setPalette(rouge);

    // ---- handlers
    connect(listBox_Freq, &QListWidget::clicked, this, &Principale::listBox_Freq_Click);
    connect(listBox_Freq->verticalScrollBar(), &QScrollBar::valueChanged, this, &Principale::suit_frequence_affichee);
    connect(checkBox_Record, &QCheckBox::toggled, this, &Principale::checkBox_Record_CheckedChanged);
    connect(button_Init, &QPushButton::clicked, this, &Principale::button_Init_Click);
    connect(checkBox_Definie, &QCheckBox::toggled, this, &Principale::checkBox_Definie_CheckedChanged);
    connect(button_Fichier, &QPushButton::clicked, this, &Principale::button_Fichier_Click);
    connect(numericUpDown_Duree, &QDoubleSpinBox::valueChanged, this, &Principale::numericUpDown_Duree_ValueChanged);
    connect(button_Start, &QPushButton::clicked, this, &Principale::button_Start_Click);
    connect(button_Stop, &QPushButton::clicked, this, &Principale::button_Stop_Click);
    connect(checkBox_Test, &QCheckBox::toggled, this, &Principale::checkBox_Test_CheckedChanged);
    connect(numericUpDown_Delay, &QSpinBox::valueChanged, this, &Principale::numericUpDown_Delay_ValueChanged);
    connect(button_Reset_PH, &QPushButton::clicked, this, &Principale::button_Reset_PH_Click);
    connect(button_Reset_FX3, &QPushButton::clicked, this, &Principale::button_Reset_FX3_Click);
    connect(button_Reset_Micros, &QPushButton::clicked, this, &Principale::button_Reset_Micros_Click);
    connect(button_Comment, &QPushButton::clicked, this, &Principale::button_Comment_Click);
    connect(radioButton_Start_Soft, &QRadioButton::toggled, this, &Principale::radioButton_Start_Soft_CheckedChanged);
    connect(button_Abort, &QPushButton::clicked, this, &Principale::button_Abort_Click);
    connect(radioButton_Stop_Soft, &QRadioButton::toggled, this, &Principale::radioButton_Stop_Soft_CheckedChanged);

    layout_fixe::ordonne_tabulation(centre);
}

namespace layout_fixe {

void reste_lisible(QWidget *w)
{
    QPalette p = w->palette();
    for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::Text})
        p.setColor(QPalette::Disabled, r, p.color(QPalette::Active, r));
    w->setPalette(p);
}

} // namespace layout_fixe
