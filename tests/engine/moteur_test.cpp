// A whole recorded run driven through the engine alone, as viz256-record drives it: no
// QApplication (a QCoreApplication), no widget, against the emulated recorder; the host acts
// from inside Observateur::pompe() as a command line's signal flag does.
#include "acquisition/moteur.h"
#include "device/usbfs.h"
#include "emulator/recorder.h"
#include "tests/faults/fichiers_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

struct Hote : moteur::Observateur {
    QString console_texte;
    int alertes = 0;
    std::vector<moteur::Etat> etats;
    std::function<void()> a_chaque_tour;
    uint64_t tours = 0;
    bool fin_vue = false;
    std::vector<moteur::Raison> raisons; // the typed reports, in order
    QString ligne_due;                   // the console line the last report announced

    void console(const QString &t, int alerte) override
    {
        EXPECT_TRUE(ligne_due.isEmpty() || t == ligne_due) << "a report's line is not the next one: " << t.toStdString();
        ligne_due.clear();
        console_texte += t;
        alertes += alerte == 1;
    }
    void evenement(const moteur::Evenement &e) override
    {
        raisons.push_back(e.raison);
        ligne_due = moteur::texte(e);
    }
    bool a_signale(std::initializer_list<moteur::Raison> suite) const // in this order
    {
        auto i = raisons.begin();
        for (moteur::Raison r : suite)
            if ((i = std::find(i, raisons.end(), r)) == raisons.end())
                return false;
        return true;
    }
    void etat(moteur::Etat e) override { etats.push_back(e); }
    void fin(const moteur::Bilan &) override { fin_vue = true; }
    void pompe() override
    {
        ++tours;
        if (a_chaque_tour)
            a_chaque_tour();
    }
};

struct Cas {
    const char *nom;
    int entree;                  // frequency-list entry
    std::optional<double> duree; // none: open-ended, stopped from pompe()
    bool trig1;                  // the start waits for Trig1, fired from pompe()
};

} // namespace

TEST(Moteur, WholeRunWithoutAWindowStoppedFromItsPump)
{
    ASSERT_FALSE(QCoreApplication::instance()->inherits("QGuiApplication"));
    emu::Recorder &rec = emu::Recorder::start();
    rec.set_usbfs_memory_mb(usbfs::LIMITE_REGLE_MO);
    QTemporaryDir dossier;
    ASSERT_TRUE(dossier.isValid());

    const Cas cas[] = {
        {"open-ended at 50 kHz, Stop from the pump", 0, std::nullopt, false},
        {"1 s at 25 kHz on Trig1 fired from the pump", 7, 1.0, true},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        rec.reset();
        rec.set_paced(true); // real time, with the recorder's finite buffer: a slow host loses frames
        Hote hote;
        moteur::Moteur m(hote);
        ASSERT_TRUE(m.ouvre()) << hote.console_texte.toStdString();
        EXPECT_EQ(m.etat(), moteur::Etat::Repos);

        reglages::Reglages r;
        r.entree_frequence = c.entree;
        r.duree = c.duree;
        if (c.trig1)
            r.start.source = reglages::Source::Trig1;
        const QString dat = dossier.filePath(QStringLiteral("%1.dat").arg(c.entree));
        r.fichier = dat;
        r.commentaire = QStringLiteral("Essai du moteur seul");

        bool arret_demande = false;
        hote.a_chaque_tour = [&] {
            const moteur::Instantane i = m.instantane();
            if (c.trig1 && i.etat == moteur::Etat::Attente && rec.waiting_for_trigger())
                rec.fire_trigger(1);
            if (!c.duree && !arret_demande && i.trames >= 50000) { // a second of frames
                arret_demande = true;
                m.arrete();
            }
        };
        const uint64_t flux_avant = rec.bytes_streamed(); // the probe's
        const moteur::Bilan b = m.enregistre(r);

        EXPECT_TRUE(hote.fin_vue);
        EXPECT_TRUE(b.lance);
        EXPECT_FALSE(b.abandonne);
        EXPECT_EQ(b.arrete, !c.duree.has_value());
        EXPECT_FALSE(b.donnees_perdues);
        EXPECT_FALSE(b.erreur_fichier);
        EXPECT_FALSE(b.appareil_perdu);
        EXPECT_EQ(b.sauts_compteur, 0u);
        EXPECT_EQ(b.ecrits, b.recus);
        EXPECT_EQ(b.trames * 257 * 4, b.ecrits);
        if (c.duree)
            EXPECT_EQ(b.trames, uint64_t(*c.duree * 500000 / 20)); // 25 000 Hz
        else
            EXPECT_GE(b.trames, 50000u);
        EXPECT_EQ(b.recus, rec.bytes_streamed() - flux_avant);
        EXPECT_EQ(rec.frames_dropped(), 0u);
        EXPECT_GT(hote.tours, 10u);
        EXPECT_EQ(hote.alertes, 0) << hote.console_texte.toStdString();
        EXPECT_EQ(m.etat(), moteur::Etat::Repos);
        EXPECT_EQ(hote.etats.front(), moteur::Etat::Repos);
        EXPECT_EQ(std::count(hote.etats.begin(), hote.etats.end(), moteur::Etat::Attente), c.trig1 ? 1 : 0);
        verifie_fichiers_run(dat, {b.ecrits, b.recus, 257, QStringLiteral("Essai du moteur seul") + QString(1023 - 20, QLatin1Char(' ')), true});

        // The window's lines, in the window's order.
        qsizetype p = 0;
        for (const char *ligne : {"Liaison USB activée !\r\n", "Velmarix 256 détecté `\r\n", "Nom du fichier d'acquisition : ",
                                  "\r\nNb_voies (micros+compteur) : 257\r\n", "Fréquence : ", "Fin du transfert : "}) {
            const qsizetype q = hote.console_texte.indexOf(QString::fromUtf8(ligne), p);
            EXPECT_GE(q, 0) << ligne << " missing or out of order in:\n" << hote.console_texte.toStdString();
            p = std::max(p, q);
        }
        // The initialisation's and the frequency's typed reports, the open-ended run's disk room.
        EXPECT_TRUE(hote.a_signale({moteur::Raison::AppareilDetecte, moteur::Raison::Frequence}));
        EXPECT_EQ(hote.a_signale({moteur::Raison::EspaceDisque}), !c.duree.has_value());
    }
    // The same files again without leave to replace them: refused before the recorder hears
    // anything, the earlier run's files untouched, and the host told the end.
    const QString dat = dossier.filePath(QStringLiteral("0.dat"));
    const qint64 taille = QFileInfo(dat).size();
    rec.clear_requests();
    Hote hote;
    moteur::Moteur m(hote);
    reglages::Reglages r;
    r.fichier = dat;
    const moteur::Bilan b = m.enregistre(r);
    EXPECT_TRUE(hote.fin_vue);
    EXPECT_TRUE(!b.lance && b.erreur_fichier);
    EXPECT_EQ(hote.alertes, 1) << hote.console_texte.toStdString();
    EXPECT_TRUE(rec.requests().empty()) << rec.requests().size() << " requests reached the recorder";
    EXPECT_EQ(QFileInfo(dat).size(), taille);
    // Initialised, then opened again on a port with no recorder: a run is refused as one on an
    // absent recorder, and creates no file.
    ASSERT_TRUE(m.ouvre());
    EXPECT_FALSE(m.ouvre(std::string("9-9")));
    r.fichier = dossier.filePath(QStringLiteral("absent.dat"));
    EXPECT_TRUE(m.enregistre(r).appareil_perdu);
    EXPECT_FALSE(QFileInfo::exists(*r.fichier));
    // Opened, then the usbfs cap lowered under the ring: the run, refused once its files are
    // made, leaves none of them behind.
    ASSERT_TRUE(m.ouvre());
    rec.set_usbfs_memory_mb(16);
    r.fichier = dossier.filePath(QStringLiteral("refus.dat"));
    const moteur::Bilan refus = m.enregistre(r);
    rec.set_usbfs_memory_mb(usbfs::LIMITE_REGLE_MO);
    EXPECT_TRUE(!refus.lance && refus.refus_usbfs);
    EXPECT_EQ(hote.raisons.back(), moteur::Raison::LimiteUsbfs);
    EXPECT_EQ(QDir(dossier.path()).entryList({QStringLiteral("refus.*")}, QDir::Files), QStringList{});
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
