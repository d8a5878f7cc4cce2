#include "tests/support/fenetre.h"

#include <QTest>

void Fenetre::SetUp()
{
    Principale::console_text.clear();
    Principale::alert_hook = [this](const QString &t) {
        alertes << t;
        // A box that waits for the operator would stop the ring's event handling.
        if (w) {
            EXPECT_EQ(w->moteur.diagnostic().en_vol, 0) << "an alert box while transfers are in flight: " << t.toStdString();
        }
    };
    Principale::save_dialog_hook = [this]() {
        ++dialogues;
        return chemin_choisi;
    };
    w = std::make_unique<Principale>();
    w->show();
    QApplication::processEvents();
}

void Fenetre::TearDown()
{
    w.reset();
    Principale::alert_hook = nullptr;
    Principale::save_dialog_hook = nullptr;
}

void Fenetre::clic(QAbstractButton *b)
{
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(6, b->height() / 2));
}

QString Fenetre::console()
{
    return Principale::console_text;
}

QString Fenetre::console_depuis(qsizetype marque)
{
    return Principale::console_text.mid(marque);
}

bool Fenetre::etat_repos()
{
    for (int i = 0; i < 12; ++i)
        if (Principale::enabled[i] != (i != 10))
            return false;
    return true;
}

bool Fenetre::etat_verrouille()
{
    for (int i = 0; i < 12; ++i)
        if (Principale::enabled[i] != (i == 0))
            return false;
    return true;
}
