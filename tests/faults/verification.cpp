#include "tests/faults/verification.h"

#include "tests/faults/fichiers_run.h"

#include "recording/fichiers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringConverter>
#include <QTimer>

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <unistd.h>

void Fautes::prepare(bool enregistre, const QString &nom)
{
    // Paced, with its finite buffer: an unpaced recorder fills a transfer only when the host
    // reaps it, so it could never lose a frame, and a stop would take effect at once.
    rec->set_paced(true);
    initialise_ok();
    w->checkBox_Record->setChecked(enregistre);
    chemin_choisi = chemin(nom);
}

void Fautes::demarre(int garde_ms)
{
    flux_avant = rec->bytes_streamed();
    perdues_avant = rec->frames_dropped();
    garde_declenchee = false;
    QTimer garde;
    garde.setSingleShot(true);
    QObject::connect(&garde, &QTimer::timeout, w.get(), [this] {
        if (!w->moteur.diagnostic().run_en_cours)
            return;
        garde_declenchee = true;
        if (w->moteur.diagnostic().started)
            w->button_Stop->click();
        else
            w->button_Abort->click();
    });
    garde.start(garde_ms);
    clic(w->button_Start);
    EXPECT_FALSE(garde_declenchee) << "the run was still going after " << garde_ms << " ms";
}

void Fautes::dans(int ms, std::function<void()> f)
{
    QTimer::singleShot(ms, w.get(), std::move(f));
}

QByteArray Fautes::lit(const QString &chemin)
{
    QFile f(chemin);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

int Fautes::descripteurs()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
        --n; // the listing's own descriptor
    }
    return n;
}

long Fautes::memoire_ko()
{
    std::ifstream f("/proc/self/status");
    std::string ligne;
    while (std::getline(f, ligne))
        if (ligne.rfind("RssAnon:", 0) == 0) // the live tap's shared segment is not the process's own
            return std::stol(ligne.substr(8));
    return -1;
}

namespace {

// No descriptor of this process still points into `dossier`.
QStringList ouverts_dans(const QString &dossier)
{
    QStringList v;
    const QDir fd(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &e : fd.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const QString cible = e.symLinkTarget();
        if (cible.startsWith(dossier + QLatin1Char('/')))
            v << cible;
    }
    return v;
}

} // namespace

void Fautes::verifie_apres(const Attendu &a)
{
    // The program still answers: a timer fires and events are processed.
    bool reveil = false;
    QTimer::singleShot(0, [&reveil] { reveil = true; });
    QElapsedTimer t;
    t.start();
    while (!reveil && t.elapsed() < 2000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(reveil) << "the event loop no longer answers";

    // Usable: idle, or locked with Init usable; nothing left in flight.
    EXPECT_FALSE(w->moteur.diagnostic().run_en_cours);
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    if (a.fenetre_ouverte) {
        EXPECT_TRUE(w->isVisible());
        EXPECT_TRUE((etat_repos() && w->button_Start->isEnabled()) || (etat_verrouille() && w->button_Init->isEnabled()))
            << "neither idle nor locked";
    } else {
        EXPECT_FALSE(w->isVisible());
    }

    // Every byte the recorder put on the wire during the run reached the run's count.
    if (a.tout_garde) {
        EXPECT_EQ(w->moteur.diagnostic().octets_recus, rec->bytes_streamed() - flux_avant) << "bytes received but not counted";
    }

    if (a.rien_perdu && !rec->vanished()) { // a recorder that has gone keeps nothing anyway
        EXPECT_EQ(rec->frames_dropped(), perdues_avant) << "the recorder's buffer overflowed: frames lost";
    }

    // The files agree with the run's counts, and none is left open.
    if (!a.nom.isEmpty()) {
        const QString dat = chemin(a.nom);
        const NomsCompagnons noms = noms_compagnons(dat);
        EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
        EXPECT_EQ(ouverts_dans(dossier.path()), QStringList());
        if (a.entete)
            verifie_fichiers_run(dat, {w->moteur.diagnostic().octets_ecrits, w->moteur.diagnostic().octets_recus, w->moteur.diagnostic().nb_voies, w->moteur.diagnostic().commentaire,
                                       w->moteur.diagnostic().record && !a.disque_plein});
        else
            for (const QString &f : {dat, noms.entete, noms.log})
                EXPECT_EQ(QFileInfo(f).size(), 0) << f.toStdString();
    }

    // The console said what happened.
    for (const QString &s : a.console)
        EXPECT_TRUE(console().contains(s)) << "console lacks \"" << s.toStdString() << "\":\n" << console().right(1500).toStdString();
}
