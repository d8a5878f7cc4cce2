// Construction, teardown and the information console of the main window.
#include "app/principale.h"
#include "app/saisie.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>
#include <QTranslator>

#include <cstring>
#include <utility>

// ------------------------------------------------------------------ class-wide tables
bool Principale::enabled[12] = {};
QPlainTextEdit *Principale::txtBox_Info = nullptr;
QString Principale::console_text;

std::function<void(const QString &)> Principale::alert_hook;
bool Principale::alertes_retenues_actif = false;
QStringList Principale::alertes_retenues;
std::function<QString()> Principale::save_dialog_hook;

// ------------------------------------------------------------------ construction
namespace {

// The window speaks French: the toolkit's own dialogs and message boxes (file dialog, alert
// buttons) take its French translations, once for the whole program, whatever the locale.
void traduit_la_boite_a_outils()
{
    static bool fait = false;
    if (fait || !QCoreApplication::instance())
        return;
    fait = true;
    auto *t = new QTranslator(QCoreApplication::instance());
    if (t->load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
                QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(t);
    else
        delete t; // not installed: the toolkit's texts stay in English
}

} // namespace

Principale::Principale(QWidget *parent)
    : QMainWindow(parent)
{
    traduit_la_boite_a_outils();

    // Native buffers, kept for the window's whole life.
    R_jet = new int32_t[128]();
    V_jet = new int32_t[128]();
    B_jet = new int32_t[128]();

    // "Century Gothic" is rarely installed on Linux: URW Gothic has the same design.
    QFont::insertSubstitution(QStringLiteral("Century Gothic"), QStringLiteral("URW Gothic"));

    InitializeComponent();

    creation_cases();
    creation_cases_VA();
    suit_frequence_affichee();

    txtBox_Info = textBox_Info;
    commentaires = false;

    init_colorbar();

    applique_etat_verrouille();
}

// Teardown: the engine resets the microphones of an open recorder, releases and closes it.
Principale::~Principale()
{
    if (txtBox_Info == textBox_Info)
        txtBox_Info = nullptr;
    delete[] R_jet;
    delete[] V_jet;
    delete[] B_jet;
}

// A close request during a run stops the run first; the window closes once the run has
// ended and written its files.
void Principale::closeEvent(QCloseEvent *event)
{
    if (const moteur::Diagnostic d = moteur.diagnostic(); d.run_en_cours) {
        fermeture_demandee = true;
        event->ignore();
        if (d.started && !d.stopped && !d.fini)
            arret(); // once the ring is over the run ends by itself
        else if (!d.started)
            button_Abort_Click();
        return;
    }
    QMainWindow::closeEvent(event);
}

// ------------------------------------------------------------------ console
void Principale::call_verb(const QString &verbose, int flag)
{
    console_text += verbose;
    if (txtBox_Info) {
        const saisie::EcritureProgramme programme(txtBox_Info);
        QTextCursor c(txtBox_Info->document());
        c.movePosition(QTextCursor::End);
        c.insertText(verbose);
        txtBox_Info->moveCursor(QTextCursor::End);
        txtBox_Info->ensureCursorVisible();
    }
    if (flag != 1)
        return;
    const QString texte = QStringLiteral("Alerte : ") + verbose;
    if (alertes_retenues_actif) {
        alertes_retenues << texte;
        return;
    }
    montre_alerte(texte);
}

void Principale::retiens_alertes(bool oui)
{
    alertes_retenues_actif = oui;
}

void Principale::montre_alertes_retenues(bool boite)
{
    alertes_retenues_actif = false;
    const QStringList textes = std::exchange(alertes_retenues, {});
    for (const QString &texte : textes) {
        if (boite || alert_hook)
            montre_alerte(texte);
    }
}

void Principale::montre_alerte(const QString &texte)
{
    if (alert_hook) {
        alert_hook(texte);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Erreur"), texte, QMessageBox::Ok,
                    txtBox_Info ? txtBox_Info->window() : nullptr);
    box.exec();
}
