// Runs recorded through the real window against the emulated recorder, read back: check,
// export, and a cut run repaired. With $VIZ256_RUNS_OUT set the runs and their exports are
// kept there for tests/scripts/reading_python.sh, which reads them with PyTables, h5py,
// soundfile and the viz256 Python package.
#include "tests/support/emule.h"

#include <QDoubleSpinBox>
#include <QFile>

#include <filesystem>

#include "reading/check.h"
#include "reading/export.h"
#include "reading/repair.h"
#include "recording/log_text.h"

using namespace reading;

class Relecture : public FenetreEmulee {
protected:
    struct Choix {
        std::vector<int> faisceaux; // whole beams
        std::vector<int> micros;    // single microphone channels
        std::vector<int> va;
        bool compteur = true, status = false, flottants = false;
        double secondes = 0.5;
    };

    // Records a run with that selection; returns the path of its data file.
    std::string enregistre(const char *nom, const Choix &c)
    {
        initialise_ok();
        const QByteArray dehors = qgetenv("VIZ256_RUNS_OUT");
        const QString dossier_runs = dehors.isEmpty() ? dossier.path() : QString::fromLocal8Bit(dehors);
        std::filesystem::create_directories(dossier_runs.toStdString());
        chemin_choisi = dossier_runs + QLatin1Char('/') + QLatin1String(nom) + QStringLiteral(".dat");
        w->checkBox_Record->setChecked(true);
        w->checkBox_Test->setChecked(true);
        clic(w->paq_T); // no microphone
        for (int b : c.faisceaux)
            clic(w->faisceaux_T[b]);
        for (int m : c.micros)
            clic(w->grid[m / 8][m % 8]);
        for (int n : c.va)
            w->grid_VA[n]->setChecked(true);
        w->checkBox_Compteur->setChecked(c.compteur);
        w->checkBox_Status->setChecked(c.status);
        w->radioButton_Float->setChecked(c.flottants);
        w->checkBox_Definie->setChecked(true);
        w->numericUpDown_Duree->setValue(c.secondes);
        clic(w->button_Start);
        EXPECT_TRUE(alertes.isEmpty()) << alertes.join("|").toStdString();
        return chemin_choisi.toStdString();
    }

    // Exports the run to HDF5 and WAV beside it, with the default channels of each.
    void exporte(const reading::Run &run, const std::string &dat)
    {
        const std::string base = dat.substr(0, dat.size() - 4);
        for (const std::string &cible : {base + ".h5", base + ".wav"}) {
            const auto mots = select_channels(run.layout, default_channels(format_of(cible)));
            const ExportResult r = export_run(run, {cible, mots, {0, run.frames()}, std::nullopt});
            EXPECT_EQ(r.frames, run.frames());
            EXPECT_TRUE(std::filesystem::exists(cible));
        }
    }
};

TEST_F(Relecture, Int32MicrophonesAndCounterClean)
{
    const std::string dat = enregistre("a_int32", {{0, 1}, {}, {}, true, false, false, 0.5});
    const reading::Run run = open_run(dat.substr(0, dat.size() - 4) + ".Vlx");
    EXPECT_EQ(run.frames(), 25000u);
    EXPECT_EQ(run.nb_voies(), 17);
    EXPECT_EQ(run.layout.channels[0].name, "counter");
    EXPECT_EQ(run.layout.channels[16].name, "mic_1_7");
    const CheckReport c = check_run(run);
    EXPECT_TRUE(c.clean()) << (c.problems.empty() ? "" : c.problems[0]);
    EXPECT_TRUE(c.counter_checked);
    exporte(run, dat);
}

TEST_F(Relecture, FloatWithAnalogueAndStatusClean)
{
    const std::string dat = enregistre("b_float", {{3}, {200, 255}, {0, 3}, true, true, true, 0.5});
    const reading::Run run = open_run(dat);
    EXPECT_TRUE(run.floats());
    EXPECT_TRUE(run.status);
    std::vector<std::string> noms;
    for (const Channel &ch : run.layout.channels)
        noms.push_back(ch.name);
    EXPECT_EQ(noms, (std::vector<std::string>{"counter", "mic_3_0", "mic_3_1", "mic_3_2", "mic_3_3", "mic_3_4", "mic_3_5",
                                              "mic_3_6", "mic_3_7", "mic_25_0", "mic_31_7", "status", "va_0", "va_3"}));
    EXPECT_TRUE(check_run(run).clean());
    exporte(run, dat);
}

TEST_F(Relecture, WithoutCounterContinuityCannotBeChecked)
{
    const std::string dat = enregistre("c_sans_compteur", {{5}, {}, {1}, false, false, false, 0.2});
    const reading::Run run = open_run(dat);
    const CheckReport c = check_run(run);
    EXPECT_TRUE(c.clean());
    EXPECT_FALSE(c.counter_checked);
    ASSERT_FALSE(c.notes.empty());
    EXPECT_NE(c.notes.back().find("cannot be checked"), std::string::npos);
}

TEST_F(Relecture, CounterJumpReportedAtItsFrame)
{
    rec->fault_counter_jump_at_frame(20000);
    const std::string dat = enregistre("d_saut", {{0, 1}, {}, {}, true, false, false, 5.0});
    const CheckReport c = check_run(open_run(dat));
    ASSERT_EQ(c.gap_count, 1u);
    EXPECT_EQ(c.gaps[0].frame, 20000u);
    EXPECT_EQ(c.gaps[0].missing(), 1000);
    EXPECT_TRUE(c.problems.empty()) << c.problems[0];
}

TEST_F(Relecture, CutRunRepairedThenClean)
{
    const std::string dat = enregistre("e_coupe", {{0}, {}, {}, true, false, false, 0.5});
    const std::string base = dat.substr(0, dat.size() - 4);
    const auto entete = read_small_file(base + ".Vlx").value();
    const auto log = read_small_file(base + ".log").value();
    const auto donnees = read_small_file(dat, 1u << 30).value();
    // As a kill leaves it: the header empty, the log written early in the run.
    type_header_file h = open_run(dat).rec;
    h.nb_ech = 1000;
    h.duree_acquise = 0.02f;
    {
        QFile f(QString::fromStdString(base + ".log"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(texte_log(h, 9, 8, std::nullopt));
        QFile(QString::fromStdString(base + ".Vlx")).resize(0);
    }
    const reading::Run coupe = open_run(dat);
    EXPECT_FALSE(check_run(coupe).clean());
    apply_repair(plan_repair(coupe));
    const CheckReport c = check_run(open_run(dat));
    EXPECT_TRUE(c.clean()) << (c.problems.empty() ? "" : c.problems[0]);
    EXPECT_EQ(read_small_file(base + ".log").value(), log);
    EXPECT_EQ(read_small_file(dat, 1u << 30).value(), donnees);
    // The header as the program wrote it, but for the milliseconds the log never had.
    std::string attendu = entete;
    attendu[14] = attendu[15] = 0;
    EXPECT_EQ(read_small_file(base + ".Vlx").value(), attendu);
}
