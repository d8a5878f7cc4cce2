// Selection grid: the boxes of the microphones, beams, blocks and analogue channels, and their
// click rules.
#include "app/layout.h"
#include "app/principale.h"
#include "app/case_niveau.h"
#include "channels/selection.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>

namespace {

// Geometry of the grid inside groupBox_Micros (its title line included).
constexpr int X0 = 88, Y0 = 45, PAS_X = 21, PAS_Y = 19, ECART_BLOC = 8, COTE = 16;
constexpr int Y_FAISCEAUX = Y0 + 9 * PAS_Y; // row 9: beam boxes and "T"
constexpr int Y_BLOCS = Y0 + 10 * PAS_Y;    // row 10: block boxes
constexpr int Y_NUMEROS = Y0 - PAS_Y;       // beam numbers, one row above row 0
constexpr int X_LIGNES = X0 - PAS_X;        // row labels, one column left of column 0

constexpr int x_faisceau(int b) { return X0 + PAS_X * b + ECART_BLOC * (b / 8); }
constexpr int y_micro(int m) { return Y0 + PAS_Y * m; }
constexpr int X_TOUS = X0 + PAS_X * 32 + ECART_BLOC * 3;
constexpr int x_bloc(int k) { return X0 + PAS_X * (8 * k + 4) + ECART_BLOC * k; }

static_assert(x_faisceau(31) == 763 && X_TOUS == 784 && x_bloc(3) == 700 && Y_BLOCS == 235);

// The toolkit's default control font at the given size, fully set so that it does not
// inherit the group box's font.
QFont police_defaut(double points)
{
    const QFont base = QApplication::font();
    QFont f(base.family());
    f.setPointSizeF(points);
    f.setWeight(base.weight());
    f.setItalic(base.italic());
    return f;
}

QLabel *etiquette(QWidget *parent, const QString &nom, const QString &texte, const QFont &f, int x, int y)
{
    auto *l = new QLabel(texte, parent);
    l->setObjectName(nom);
    l->setFont(f);
    l->setGeometry(x, y, COTE, COTE);
    layout_fixe::reste_lisible(l); // row and beam numbers stay readable during a run
    return l;
}

// `dit` is what a screen reader announces for the box (it has no visible text of its own).
QCheckBox *case_cochee(QWidget *parent, const QString &nom, const QString &dit, int x, int y)
{
    auto *c = new QCheckBox(parent);
    c->setObjectName(nom);
    c->setAccessibleName(dit);
    c->setGeometry(x, y, COTE, COTE);
    c->setChecked(true);
    return c;
}

selection::Grille lit_grille(const Principale &w)
{
    selection::Grille g;
    for (int b = 0; b < selection::NB_FAISCEAUX; ++b) {
        for (int m = 0; m < selection::NB_MICROS_FAISCEAU; ++m)
            g.micros[b][m] = w.grid[b][m]->isChecked();
        g.faisceaux[b] = w.faisceaux_T[b]->isChecked();
    }
    for (int k = 0; k < selection::NB_BLOCS; ++k)
        g.blocs[k] = w.bloc_T[k]->isChecked();
    g.tous = w.paq_T->isChecked();
    return g;
}

// setChecked raises no `clicked`, so writing the states never starts another rule.
void ecrit_grille(Principale &w, const selection::Grille &g)
{
    auto pose = [](QCheckBox *c, bool s) {
        if (c->isChecked() != s)
            c->setChecked(s);
    };
    for (int b = 0; b < selection::NB_FAISCEAUX; ++b) {
        for (int m = 0; m < selection::NB_MICROS_FAISCEAU; ++m)
            pose(w.grid[b][m], g.micros[b][m]);
        pose(w.faisceaux_T[b], g.faisceaux[b]);
    }
    for (int k = 0; k < selection::NB_BLOCS; ++k)
        pose(w.bloc_T[k], g.blocs[k]);
    pose(w.paq_T, g.tous);
}

} // namespace

void Principale::creation_cases()
{
    QWidget *g = groupBox_Micros;
    const QFont f10 = police_defaut(10);
    const QFont f8 = police_defaut(8);

    for (int m = 0; m < 8; ++m)
        num_micros[m] = etiquette(g, QStringLiteral("Label_M%1").arg(m), QString::number(m), f10, X_LIGNES, y_micro(m));
    num_micros[8] = etiquette(g, QStringLiteral("Label_MT"), QStringLiteral("T"), f10, X_LIGNES, Y_FAISCEAUX);

    for (int b = 0; b < 32; ++b) {
        const int x = x_faisceau(b);
        for (int m = 0; m < 8; ++m) {
            grid[b][m] = case_cochee(g, QStringLiteral("Case_%1_%2").arg(b).arg(m), QStringLiteral("Micro %1.%2").arg(b).arg(m), x,
                                     y_micro(m));
            connect(grid[b][m], &QCheckBox::clicked, this, [this, b, m] { micro_valide(b, m); });

            auto *n = new CaseNiveau(g); // white
            n->setObjectName(QStringLiteral("Case_n_%1_%2").arg(b).arg(m));
            n->setGeometry(x, y_micro(m), COTE, COTE);
            n->hide();
            grid_n[b][m] = n;
        }
        faisceaux_T[b] = case_cochee(g, QStringLiteral("Faisceau_%1").arg(b), QStringLiteral("Faisceau %1").arg(b), x, Y_FAISCEAUX);
        connect(faisceaux_T[b], &QCheckBox::clicked, this, [this, b] { faisceaux_valide(b); });
        num_faisceaux[b] = etiquette(g, QStringLiteral("Label_F%1").arg(b), QString::number(b), f8, x, Y_NUMEROS);
    }

    paq_T = case_cochee(g, QStringLiteral("Tous"), QStringLiteral("Tous les micros"), X_TOUS, Y_FAISCEAUX);
    connect(paq_T, &QCheckBox::clicked, this, [this] { tout_valide(); });

    for (int k = 0; k < 4; ++k) {
        bloc_T[k] = case_cochee(g, QStringLiteral("Bloc_%1").arg(k), QStringLiteral("Bloc %1").arg(k), x_bloc(k), Y_BLOCS);
        connect(bloc_T[k], &QCheckBox::clicked, this, [this, k] { blocs_valide(k); });
    }

    // The grid lies behind the fixed controls of the group.
    label_Faisceaux->raise();
    label_Micros_1->raise();
    panel_dB->raise();
}

void Principale::creation_cases_VA()
{
    QFont f(QStringLiteral("Century Gothic"));
    f.setPointSizeF(10);
    f.setBold(false);
    f.setItalic(false);
    for (int n = 0; n < 4; ++n) {
        auto *c = new QCheckBox(QStringLiteral("VA %1").arg(n), groupBox_VA);
        c->setObjectName(QStringLiteral("VA_%1").arg(n));
        c->setFont(f);
        c->setGeometry(10 + 70 * (n % 2), 20 + 30 * (n / 2), 60, 24);
        grid_VA[n] = c;
    }
    // The grid's boxes join the keyboard order after the fixed controls of their group.
    layout_fixe::ordonne_tabulation(centralWidget());
}

// ------------------------------------------------------------------ click rules
void Principale::micro_valide(int b, int)
{
    selection::Grille g = lit_grille(*this);
    selection::clic_micro(g, b);
    ecrit_grille(*this, g);
}

void Principale::faisceaux_valide(int b)
{
    selection::Grille g = lit_grille(*this);
    selection::clic_faisceau(g, b);
    ecrit_grille(*this, g);
}

void Principale::blocs_valide(int k)
{
    selection::Grille g = lit_grille(*this);
    selection::clic_bloc(g, k);
    ecrit_grille(*this, g);
}

void Principale::tout_valide()
{
    selection::Grille g = lit_grille(*this);
    selection::clic_tous(g);
    ecrit_grille(*this, g);
}
