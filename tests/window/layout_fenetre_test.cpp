// The fixed controls of the main window as the operator finds them when it opens.
#include "tests/support/fenetre.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>

namespace {

enum : unsigned { CACHE = 1, COCHE = 2, AUTO = 4 };

struct Attendu {
    const char *nom;
    const char *conteneur;
    int x, y, l, h;
    const char *texte; // nullptr: no text to check
    int points;        // 0: no font of its own
    bool gras;
    unsigned etat;
};

// Straight from the layout tables.
const Attendu CONTROLES[] = {
    {"panel_Stop", "zone_client", 179, 320, 226, 123, nullptr, 12, true, CACHE},
    {"groupBox_VA", "zone_client", 1140, 297, 148, 76, "Voies analogiques", 10, true, 0},
    {"groupBox_Comment", "zone_client", 415, 337, 308, 165, "Commentaire (1024 car. max)", 14, true, CACHE},
    {"label_Duree_Ecoulee", "zone_client", 420, 315, 210, 27, "Durée écoulée", 12, true, CACHE},
    {"button_Abort", "zone_client", 6, 258, 167, 52, "Abort", 16, true, CACHE},
    {"panel_Start", "zone_client", 179, 191, 226, 123, nullptr, 12, true, 0},
    {"panel_Progress", "zone_client", 741, 297, 371, 72, nullptr, 0, false, CACHE},
    {"textBox_Info", "zone_client", 415, 375, 883, 384, "", 9, false, 0},
    {"button_Comment", "zone_client", 238, 521, 167, 52, "Commentaire", 15, true, 0},
    {"groupBox_Micros", "zone_client", 410, 11, 878, 280, "Micros", 14, true, 0},
    {"checkBox_Test", "zone_client", 19, 538, 138, 23, "Mode avancé", 12, true, AUTO},
    {"groupBox_Test", "zone_client", 12, 573, 391, 190, "Mode avancé", 14, true, CACHE},
    {"checkBox_Record", "zone_client", 18, 461, 165, 27, "Enregistrement", 14, true, AUTO},
    {"button_Init", "zone_client", 238, 80, 167, 52, "Init", 16, true, 0},
    {"checkBox_Definie", "zone_client", 238, 151, 151, 27, "Durée définie", 14, true, COCHE | AUTO},
    {"button_Fichier", "zone_client", 238, 461, 167, 52, "Fichier", 16, true, 0},
    {"panel_Duree", "zone_client", 6, 137, 217, 51, nullptr, 12, true, 0},
    {"button_Start", "zone_client", 6, 199, 167, 52, "Start", 16, true, 0},
    {"button_Stop", "zone_client", 6, 317, 167, 52, "Stop", 16, true, CACHE},
    {"panel_Init", "zone_client", 6, 80, 217, 51, nullptr, 12, true, 0},
    {"pictureBox_Palumet", "zone_client", 238, 6, 70, 67, nullptr, 0, false, 0},
    {"pictureBox_Oruvel", "zone_client", 6, 11, 173, 58, nullptr, 0, false, 0},
    {"listBox_Freq", "panel_Init", 128, 14, 78, 23, nullptr, 0, false, 0},
    {"label_Init", "panel_Init", 3, 11, 212, 27, "Fréquence (Hz)", 12, true, 0},
    {"numericUpDown_Duree", "panel_Duree", 80, 14, 93, 27, nullptr, 12, true, 0},
    {"label_Duree", "panel_Duree", 4, 12, 196, 27, "Durée (s)", 12, true, 0},
    {"groupBox_Start_Trig_Mode", "panel_Start", 94, 0, 132, 123, "", 0, false, CACHE},
    {"groupBox_Start_Trig", "panel_Start", 0, 0, 88, 123, "Trig Start", 0, false, 0},
    {"radioButton_Start_EB", "groupBox_Start_Trig_Mode", 8, 98, 66, 19, "Etat bas", 8, true, AUTO},
    {"radioButton_Start_EH", "groupBox_Start_Trig_Mode", 8, 73, 71, 19, "Etat haut", 8, true, AUTO},
    {"radioButton_Start_FD", "groupBox_Start_Trig_Mode", 8, 48, 119, 19, "Front descendant", 8, true, AUTO},
    {"radioButton_Start_FM", "groupBox_Start_Trig_Mode", 8, 23, 98, 19, "Front montant", 8, true, COCHE | AUTO},
    {"radioButton_Start_Trig2", "groupBox_Start_Trig", 19, 78, 63, 23, "Trig2", 0, false, AUTO},
    {"radioButton_Start_Trig1", "groupBox_Start_Trig", 19, 52, 63, 23, "Trig1", 0, false, AUTO},
    {"radioButton_Start_Soft", "groupBox_Start_Trig", 19, 26, 53, 23, "Soft", 0, false, COCHE | AUTO},
    {"groupBox_Stop_Trig_Mode", "panel_Stop", 94, 0, 132, 123, "", 0, false, CACHE},
    {"groupBox_Stop_Trig", "panel_Stop", 0, 0, 88, 123, "Trig Stop", 0, false, 0},
    {"radioButton_Stop_EB", "groupBox_Stop_Trig_Mode", 8, 98, 66, 19, "Etat bas", 8, true, AUTO},
    {"radioButton_Stop_EH", "groupBox_Stop_Trig_Mode", 8, 73, 71, 19, "Etat haut", 8, true, AUTO},
    {"radioButton_Stop_FD", "groupBox_Stop_Trig_Mode", 8, 48, 119, 19, "Front descendant", 8, true, AUTO},
    {"radioButton_Stop_FM", "groupBox_Stop_Trig_Mode", 8, 23, 98, 19, "Front montant", 8, true, COCHE | AUTO},
    {"radioButton_Stop_Trig2", "groupBox_Stop_Trig", 19, 78, 63, 23, "Trig2", 0, false, AUTO},
    {"radioButton_Stop_Trig1", "groupBox_Stop_Trig", 19, 52, 63, 23, "Trig1", 0, false, AUTO},
    {"radioButton_Stop_Soft", "groupBox_Stop_Trig", 19, 26, 53, 23, "Soft", 0, false, COCHE | AUTO},
    {"groupBox_Delay", "groupBox_Test", 198, 70, 190, 49, "Delay", 12, true, 0},
    {"numericUpDown_Delay", "groupBox_Delay", 66, 17, 61, 27, nullptr, 12, true, 0},
    {"button_Reset_PH", "groupBox_Test", 6, 70, 179, 32, "Reset PH (C4)", 12, true, 0},
    {"button_Reset_FX3", "groupBox_Test", 198, 30, 179, 32, "Reset FX3 (C0)", 12, true, 0},
    {"button_Reset_Micros", "groupBox_Test", 6, 30, 179, 32, "Reset Micros (B0 / 00)", 12, true, 0},
    {"checkBox_Status", "groupBox_Test", 198, 159, 71, 23, "Status", 12, true, AUTO},
    {"checkBox_Compteur", "groupBox_Test", 198, 130, 106, 23, "Compteur", 12, true, COCHE | AUTO},
    {"groupBox_Data_Type", "groupBox_Test", 7, 109, 154, 66, "Data Type", 12, true, 0},
    {"radioButton_Float", "groupBox_Data_Type", 85, 26, 64, 23, "Float", 12, true, AUTO},
    {"radioButton_Integer", "groupBox_Data_Type", 6, 26, 81, 23, "Integer", 12, true, COCHE | AUTO},
    {"panel_dB", "groupBox_Micros", 816, 55, 56, 128, nullptr, 12, true, CACHE},
    {"label1", "panel_dB", 26, 109, 30, 25, "0", 9, false, 0},
    {"label_60", "panel_dB", 26, 58, 22, 25, "60", 9, false, 0},
    {"label_120", "panel_dB", 26, 0, 30, 25, "120", 9, false, 0},
    {"pictureBox_ColorBar", "panel_dB", 0, 0, 23, 128, nullptr, 0, false, 0},
    {"label_Micros_1", "groupBox_Micros", 29, 50, 22, 133, "\r\nM\r\ni\r\nc\r\nr\r\no\r\ns", 10, false, 0},
    {"label_Faisceaux", "groupBox_Micros", 8, 25, 78, 19, "Faisceaux", 10, false, 0},
    {"textBox_Comment", "groupBox_Comment", 3, 26, 302, 136, "", 12, false, 0},
    {"label_Progress", "panel_Progress", 5, 41, 348, 21,
     "0%                                  50%                            100%", 12, false, AUTO},
    {"progressBar_Progress", "panel_Progress", 15, 18, 328, 20, nullptr, 0, false, 0},
};

QString texte_de(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *t = qobject_cast<QPlainTextEdit *>(w))
        return t->toPlainText();
    return QStringLiteral("<no text>");
}

} // namespace

TEST_F(Fenetre, ControlesFixesSelonLesTables)
{
    EXPECT_EQ(w->objectName(), QStringLiteral("Principale"));
    EXPECT_EQ(w->windowTitle(),
              QStringLiteral("Tervagne Zuruduzudu - Institut Dufrenne - Velmarix VIZ_256 V3.2.0 (décembre 2022)"));
    EXPECT_FALSE(w->windowIcon().isNull());
    EXPECT_EQ(w->centralWidget()->size(), QSize(1300, 767));

    for (const Attendu &a : CONTROLES) {
        SCOPED_TRACE(a.nom);
        QWidget *c = ctrl<QWidget>(a.nom);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->parentWidget()->objectName(), QString::fromLatin1(a.conteneur));
        EXPECT_EQ(c->pos(), QPoint(a.x, a.y));
        if ((a.etat & AUTO) != 0) { // sized to its text: never narrower than designed
            EXPECT_GE(c->width(), a.l);
            EXPECT_EQ(c->height(), a.h);
        } else {
            EXPECT_EQ(c->size(), QSize(a.l, a.h));
        }
        if (a.texte) {
            EXPECT_EQ(texte_de(c), QString::fromUtf8(a.texte));
        }
        if (a.points) {
            EXPECT_EQ(c->font().family(), QStringLiteral("Century Gothic"));
            EXPECT_EQ(c->font().pointSizeF(), a.points);
            EXPECT_EQ(c->font().bold(), a.gras);
        }
        EXPECT_EQ(c->isHidden(), (a.etat & CACHE) != 0);
        if (auto *b = qobject_cast<QAbstractButton *>(c)) {
            EXPECT_EQ(b->isChecked(), (a.etat & COCHE) != 0);
        }
    }

    // Inherited fonts: the trigger source buttons take their panel's 12 bold.
    EXPECT_EQ(w->radioButton_Start_Trig1->font().pointSize(), 12);
    EXPECT_TRUE(w->radioButton_Stop_Soft->font().bold());

    for (QPushButton *b : {w->button_Init, w->button_Fichier, w->button_Start, w->button_Stop, w->button_Abort,
                           w->button_Comment, w->button_Reset_PH, w->button_Reset_FX3, w->button_Reset_Micros})
        EXPECT_EQ(b->contentsMargins(), QMargins(3, 4, 3, 4)) << b->objectName().toStdString();

    EXPECT_FALSE(w->pictureBox_Oruvel->pixmap().isNull());
    EXPECT_FALSE(w->pictureBox_Palumet->pixmap().isNull());
    EXPECT_EQ(w->pictureBox_Oruvel->focusPolicy(), Qt::NoFocus);
}

TEST_F(Fenetre, ListeDesFrequencesUneEntreeVisible)
{
    QListWidget *l = w->listBox_Freq;
    const char *entrees[] = {" 50 000", " 45 454", " 41 667", " 38 461", " 35 714", " 33 333",
                             " 31 250   ", " 25 000   ", " 20 000   ", " 12 500   ", " 10 000   ",
                             " 6 250   ", " 5 000   ", " 4 000   ", " 3 125   ", " 2 500   ", " 2 000"};
    ASSERT_EQ(l->count(), 17);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(l->item(i)->text(), QString::fromLatin1(entrees[i]));
    EXPECT_EQ(l->selectionMode(), QAbstractItemView::NoSelection);
    EXPECT_TRUE(l->selectedItems().isEmpty());
    EXPECT_EQ(l->viewport()->height(), 19); // exactly one row
    EXPECT_EQ(l->visualItemRect(l->item(0)).height(), 19);
    EXPECT_EQ(l->indexAt(QPoint(2, 2)).row(), 0);

    // One step of its scroll bar brings the next entry to the top, and nothing gets selected.
    l->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QApplication::processEvents();
    EXPECT_EQ(l->indexAt(QPoint(2, 2)).row(), 1);
    w->applique_etat_repos();
    QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 9));
    EXPECT_TRUE(l->selectedItems().isEmpty());
    // The click ran the frequency handler, which wanted the recorder and found none.
    EXPECT_EQ(alertes.size(), 1);
}

TEST_F(Fenetre, SpinnersEtZonesDeTexte)
{
    QDoubleSpinBox *d = w->numericUpDown_Duree;
    EXPECT_EQ(d->minimum(), 0.0);
    EXPECT_DOUBLE_EQ(d->maximum(), 85899.3); // what the list's first entry allows
    EXPECT_DOUBLE_EQ(d->singleStep(), 0.1);
    EXPECT_EQ(d->decimals(), 1);
    EXPECT_EQ(d->value(), 5.0);
    EXPECT_EQ(d->text(), QLocale().toString(5.0, 'f', 1));
    QSpinBox *r = w->numericUpDown_Delay;
    EXPECT_EQ(r->minimum(), 0);
    EXPECT_EQ(r->maximum(), 16);
    EXPECT_EQ(r->value(), 10);

    EXPECT_FALSE(w->textBox_Info->isReadOnly());
    EXPECT_EQ(w->progressBar_Progress->value(), 0);

    // The comment box keeps 1024 characters; what is typed or pasted beyond is refused.
    QPlainTextEdit *c = w->textBox_Comment;
    c->insertPlainText(QString(1000, QLatin1Char('a')));
    c->insertPlainText(QString(50, QLatin1Char('b')));
    EXPECT_EQ(c->toPlainText(), QString(1000, QLatin1Char('a')) + QString(24, QLatin1Char('b')));
    c->moveCursor(QTextCursor::Start);
    c->insertPlainText(QStringLiteral("zz"));
    EXPECT_EQ(c->toPlainText().size(), 1024);
    EXPECT_FALSE(c->toPlainText().startsWith(QLatin1Char('z')));

    // A character made of two UTF-16 units is one character of the comment, and is never split.
    c->clear();
    c->insertPlainText(QString(1022, QLatin1Char('a')) + QStringLiteral("\U0001F3A4\U0001F3A4b"));
    EXPECT_EQ(c->toPlainText(), QString(1022, QLatin1Char('a')) + QStringLiteral("\U0001F3A4\U0001F3A4"));
    c->moveCursor(QTextCursor::Start);
    c->insertPlainText(QStringLiteral("\U0001F3A4"));
    EXPECT_EQ(c->toPlainText(), QString(1022, QLatin1Char('a')) + QStringLiteral("\U0001F3A4\U0001F3A4"));
}

// The words of the progress scale sit centred under the start, the middle and the end of the
// bar, as drawn.
TEST_F(Fenetre, EchelleDeProgressionSousLaBarre)
{
    w->panel_Progress->show();
    QApplication::processEvents();
    const QImage image = w->panel_Progress->grab().toImage();
    const QRect zone = w->label_Progress->geometry();
    const QColor fond = image.pixelColor(zone.right() - 1, zone.top() + 1);
    QList<int> colonnes; // columns of the label holding ink
    for (int x = 0; x < image.width(); ++x)
        for (int y = zone.top(); y <= zone.bottom() && y < image.height(); ++y)
            if (std::abs(image.pixelColor(x, y).lightness() - fond.lightness()) > 80) {
                colonnes << x;
                break;
            }
    QList<double> centres; // ink of one word: columns no more than 6 pixels apart
    for (qsizetype i = 0, debut = 0; i < colonnes.size(); ++i)
        if (i + 1 == colonnes.size() || colonnes[i + 1] - colonnes[i] > 6) {
            centres << (colonnes[debut] + colonnes[i]) / 2.0;
            debut = i + 1;
        }
    const QRect barre = w->progressBar_Progress->geometry();
    ASSERT_EQ(centres.size(), 3);
    EXPECT_NEAR(centres[0], barre.left(), 3);
    EXPECT_NEAR(centres[1], barre.left() + barre.width() / 2.0, 3);
    EXPECT_NEAR(centres[2], barre.left() + barre.width(), 3);
}

// The numbers of the colour scale, the row labels and the beam numbers are drawn alike whether
// their group is usable or not (it is disabled during every run).
TEST_F(Fenetre, EchellesLisiblesGroupeDesactive)
{
    w->panel_dB->show();
    for (const char *nom : {"label1", "label_60", "label_120", "Label_M0", "Label_MT", "Label_F0", "Label_F31"}) {
        SCOPED_TRACE(nom);
        QWidget *l = ctrl<QWidget>(nom);
        ASSERT_NE(l, nullptr);
        w->groupBox_Micros->setEnabled(true);
        const QImage actif = l->grab().toImage();
        w->groupBox_Micros->setEnabled(false);
        EXPECT_TRUE(l->grab().toImage() == actif) << "drawn differently when disabled";
    }
}

// Message boxes and the file dialog speak French like the window.
TEST_F(Fenetre, BoitesDeLaBoiteAOutilsEnFrancais)
{
    QMessageBox boite;
    boite.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(boite.button(QMessageBox::Cancel)->text(), QStringLiteral("Annuler"));
    QFileDialog dialogue;
    dialogue.setOption(QFileDialog::DontUseNativeDialog);
    dialogue.setAcceptMode(QFileDialog::AcceptSave);
    QStringList textes;
    for (const QPushButton *b : dialogue.findChildren<QPushButton *>())
        textes << b->text();
    EXPECT_TRUE(textes.contains(QStringLiteral("&Enregistrer"))) << textes.join(QLatin1Char('|')).toStdString();
}

TEST_F(Fenetre, ConsoleSElargitAvecLaFenetreEtCommentaireDevant)
{
    w->resize(1500, 767);
    QApplication::processEvents();
    EXPECT_EQ(w->textBox_Info->geometry(), QRect(415, 375, 1083, 384));
    w->resize(1300, 767);
    QApplication::processEvents();
    EXPECT_EQ(w->textBox_Info->width(), 883);

    // Shown over the console, the comment box covers its top-left corner.
    w->groupBox_Comment->show();
    QWidget *dessus = w->centralWidget()->childAt(430, 400);
    ASSERT_NE(dessus, nullptr);
    EXPECT_TRUE(dessus == w->groupBox_Comment || w->groupBox_Comment->isAncestorOf(dessus));
}

TEST_F(Fenetre, OrdreDeTabulation)
{
    // Tab indices: panel_Init 13 < Start 28 < panel_Duree 29 < Fichier 31 < Définie 32 < Init 34
    // < Record 35 < advanced group 36 < Test 37 < grid 38 < comment 39 < Commentaire 40 < console 41.
    const QStringList attendu = {"listBox_Freq",   "button_Start",    "numericUpDown_Duree", "button_Fichier",
                                 "checkBox_Definie", "button_Init",   "checkBox_Record",     "button_Reset_Micros",
                                 "checkBox_Test",  "Case_0_0",        "textBox_Comment",     "button_Comment",
                                 "textBox_Info"};
    QStringList vu;
    QWidget *c = w->listBox_Freq;
    for (int n = 0; n < 2000 && vu.size() < attendu.size(); ++n, c = c->nextInFocusChain()) {
        const QString nom = c->objectName();
        if (attendu.contains(nom) && !vu.contains(nom))
            vu << nom;
    }
    EXPECT_EQ(vu, attendu);
}
