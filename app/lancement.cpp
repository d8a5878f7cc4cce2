#include "app/lancement.h"

#include "app/principale.h"
#include "app/signaux.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace lancement {

int fenetre(const QString &run_sans_surveillance)
{
    Principale fenetre;
    ArretParSignal signaux(&fenetre);
    const bool sans_surveillance = !run_sans_surveillance.isEmpty();
    if (sans_surveillance) {
        Principale::alert_hook = [](const QString &texte) { std::fprintf(stderr, "%s\n", texte.toLocal8Bit().constData()); };
        Principale::save_dialog_hook = [run_sans_surveillance] { return run_sans_surveillance; };
        QTimer::singleShot(0, &fenetre, [&fenetre] {
            fenetre.button_Init->click();
            if (!fenetre.button_Start->isEnabled())
                return;
            fenetre.checkBox_Record->setChecked(true);
            fenetre.checkBox_Definie->setChecked(false);
            fenetre.button_Start->click(); // the whole run happens inside
        });
    }
    fenetre.show();
    QApplication::exec();
    if (sans_surveillance)
        std::fputs(Principale::console_text.toLocal8Bit().constData(), stdout);
    return 0;
}

bool affichage_present()
{
    for (const char *v : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(v))
            return true;
    return false;
}

} // namespace lancement
