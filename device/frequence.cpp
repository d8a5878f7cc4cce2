// Choice of the sampling frequency.
#include "acquisition/planning.h"
#include "app/console_format.h"
#include "app/principale.h"
#include "device/commands.h"
#include "device/horloge.h"

#include <QDoubleSpinBox>
#include <QListWidget>
#include <QThread>

int Principale::entree_frequence() const
{
    if (!listBox_Freq)
        return 0;
    const QModelIndex haut = listBox_Freq->indexAt(QPoint(2, 2));
    return haut.isValid() ? haut.row() : 0;
}

namespace {

// The duration spinner offers at most `max` seconds; a longer duration already set is
// brought down to it, and the console says so.
void borne_duree(QDoubleSpinBox *spin, double max, float frequence)
{
    if (!spin)
        return;
    if (spin->value() > max)
        Principale::call_verb(QStringLiteral("Durée ramenée à %1 s, la plus longue à %2 Hz\r\n")
                                  .arg(fmt_N1(max), fmt_N0(double(frequence))),
                              0);
    spin->setMaximum(max);
}

} // namespace

// The duration spinner offers what the entry at the top of the list allows, from the moment
// the window opens and as the list scrolls (a scrolled entry is applied at the next start).
void Principale::suit_frequence_affichee()
{
    const float f = horloge::frequence_pour_octet(static_cast<uint8_t>(FREQ[entree_frequence()] - 1));
    borne_duree(numericUpDown_Duree, planning::duree_max(f), f);
}

void Principale::listBox_Freq_Click()
{
    if (!initialisation && initialise() == -1)
        return;
    buf[0] = cmd::HORLOGE;
    num_freq = entree_frequence();
    if (listBox_Freq)
        listBox_Freq->clearSelection();
    buf[1] = static_cast<unsigned char>(FREQ[num_freq] - 1);
    commande(1);
    QThread::msleep(500);
    frequence = horloge::frequence_pour_octet(buf[1]);
    header_file.freq = frequence;
    // Rounded down to the tenth the spinner shows, so that no duration it offers wraps the count.
    const double max = planning::duree_max(frequence);
    duree_max = static_cast<float>(max);
    borne_duree(numericUpDown_Duree, max, frequence);
    if (test)
        call_verb(QStringLiteral("Clock division : %1.  ").arg(fmt_G(int64_t(buf[1]))), 0);
    call_verb(QStringLiteral("Fréquence : %1 Hz.  Durée max d'acquisition (si le disque le supporte) : %2 s \r\n")
                  .arg(fmt_N0(double(frequence)), fmt_N1(max)),
              0);
    clock_def = true;
    count_def = false;
    numericUpDown_Delay_ValueChanged();
}
