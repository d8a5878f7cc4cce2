#pragma once
// Fixture for tests that drive the real main window (offscreen).
// Alerts are captured instead of shown; the save dialog answers with `chemin_choisi`
// (empty = the operator cancels).
#include <QAbstractButton>
#include <QApplication>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <memory>

#include "app/principale.h"

class Fenetre : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The control of that object name (fails the test when missing).
    template <class T> T *ctrl(const char *nom)
    {
        T *c = w->findChild<T *>(QString::fromLatin1(nom));
        EXPECT_NE(c, nullptr) << "no control named " << nom;
        return c;
    }
    // An operator's mouse click on a button, check box or radio button.
    static void clic(QAbstractButton *b);
    // The control-state table holds the idle state (all but the stop controls) / the locked
    // state (only Init).
    static bool etat_repos();
    static bool etat_verrouille();
    // Console text as appended (CR LF kept).
    static QString console();
    // Console text appended since the mark.
    static QString console_depuis(qsizetype marque);

    std::unique_ptr<Principale> w;
    QStringList alertes;      // texts of the alert boxes, "Alerte : ..." included
    QString chemin_choisi;    // what the save dialog answers
    int dialogues = 0;        // how many times the save dialog opened
};
