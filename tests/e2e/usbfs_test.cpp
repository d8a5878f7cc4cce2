// The usbfs cap on in-flight transfer memory, met by Init and by Start against the emulated
// recorder: a ring that cannot all be in flight is never started, and the operator is told the
// cap, the need and the fix.
#include "tests/support/emule.h"

#include "device/usbfs.h"

#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {
const uint32_t BESOIN = 65;
} // namespace

class Usbfs : public FenetreEmulee {
protected:
    bool demarre_envoye() const
    {
        const auto r = requetes();
        return std::find(r.begin(), r.end(), "B1:02 00") != r.end();
    }
    bool alerte(const QString &texte) const
    {
        return std::any_of(alertes.begin(), alertes.end(), [&](const QString &a) { return a.contains(texte); });
    }
    void anneau_rendu() const
    {
        EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
        EXPECT_EQ(rec->pending_transfers(), 0);
        EXPECT_EQ(rec->usbfs_in_use(), 0u);
        EXPECT_EQ(w->moteur.diagnostic().tampons_alloues, 0);
    }
    // Start, and expect the run of 0.2 s to go through.
    void run_court()
    {
        alertes.clear();
        clic(w->button_Start);
        EXPECT_TRUE(alertes.isEmpty()) << alertes.join("|").toStdString();
        EXPECT_EQ(w->moteur.diagnostic().octets_recus, 257u * 4 * 10000);
        EXPECT_TRUE(etat_repos());
    }
};

TEST_F(Usbfs, ProbeAndRunStartOnlyWhenTheWholeRingFitsUnderTheCap)
{
    w->numericUpDown_Duree->setValue(0.2);
    for (const auto &[limite, ok] : {std::pair{16u, false}, {64u, false}, {BESOIN, true}, {0u, true}}) {
        SCOPED_TRACE(limite);
        rec->set_usbfs_memory_mb(limite);
        rec->clear_requests();
        alertes.clear();
        clic(w->button_Init);
        anneau_rendu();
        if (!ok) {
            EXPECT_TRUE(alerte(usbfs::message(limite, BESOIN))) << alertes.join("|").toStdString();
            EXPECT_FALSE(console().contains(QStringLiteral("ne répond pas")));
            EXPECT_TRUE(etat_verrouille());
            EXPECT_EQ(requetes().size(), 5u) << "the resets, and no probe";
            continue;
        }
        EXPECT_TRUE(alertes.isEmpty()) << alertes.join("|").toStdString();
        EXPECT_TRUE(etat_repos());
        run_court();

        // The cap lowered after Init: the run is refused before anything is queued.
        rec->set_usbfs_memory_mb(16);
        rec->clear_requests();
        clic(w->button_Start);
        EXPECT_TRUE(alerte(usbfs::message(16, BESOIN))) << alertes.join("|").toStdString();
        EXPECT_FALSE(demarre_envoye());
        EXPECT_TRUE(etat_repos());
        EXPECT_FALSE(w->moteur.diagnostic().run_en_cours);
        anneau_rendu();
    }
}

TEST_F(Usbfs, SubmissionRefusedAnywayGivesTheSameAlertAndStartsNothing)
{
    // Another program holds 8 MiB of usbfs memory: the eighth transfer is refused.
    rec->set_usbfs_memory_mb(BESOIN);
    rec->set_usbfs_used_elsewhere(8u << 20);
    clic(w->button_Init);
    EXPECT_TRUE(console().contains(QStringLiteral("Erreur lancement transfert du paquet 7\r\n")));
    EXPECT_TRUE(alerte(usbfs::message(BESOIN, BESOIN))) << alertes.join("|").toStdString();
    EXPECT_FALSE(console().contains(QStringLiteral("ne répond pas")));
    EXPECT_FALSE(demarre_envoye());
    EXPECT_TRUE(etat_verrouille());
    anneau_rendu();

    // The same for a recorded run; its files stay chosen, and the next start records into them.
    rec->set_usbfs_used_elsewhere(0);
    alertes.clear();
    initialise_ok();
    w->numericUpDown_Duree->setValue(0.2);
    w->checkBox_Record->setChecked(true);
    chemin_choisi = chemin(QStringLiteral("essai.dat"));
    rec->set_usbfs_used_elsewhere(8u << 20);
    rec->clear_requests();
    alertes.clear();
    clic(w->button_Start);
    EXPECT_TRUE(alerte(usbfs::message(BESOIN, BESOIN))) << alertes.join("|").toStdString();
    EXPECT_FALSE(demarre_envoye());
    EXPECT_TRUE(etat_repos());
    EXPECT_FALSE(w->moteur.diagnostic().run_en_cours);
    EXPECT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    anneau_rendu();

    rec->set_usbfs_used_elsewhere(0);
    run_court();
    EXPECT_EQ(QFileInfo(chemin(QStringLiteral("essai.dat"))).size(), 257 * 4 * 10000);
    EXPECT_EQ(dialogues, 1);

    // Mid-run, another program takes part of the memory: the refusal is said once, in words for
    // a running acquisition, and the run stops (the recorder too), keeping its data.
    w->numericUpDown_Duree->setValue(5.0);
    rec->set_paced(true);
    const qsizetype marque = console().size();
    QTimer::singleShot(1500, w.get(), [this] { rec->set_usbfs_used_elsewhere(4u << 20); });
    clic(w->button_Start);
    const QString c = console_depuis(marque);
    EXPECT_EQ(c.count(QStringLiteral("Transferts USB refusés en cours d'acquisition")), 1) << c.toStdString();
    EXPECT_FALSE(c.contains(QStringLiteral("déjà prise en partie"))) << c.toStdString();
    EXPECT_EQ(en_texte(rec->requests().back()), "B1:03 00");
    EXPECT_EQ(QFileInfo(chemin(QStringLiteral("essai.dat"))).size(), qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_TRUE(etat_repos() && alertes.isEmpty());
}
