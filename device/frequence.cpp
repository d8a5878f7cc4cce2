// Choice of the sampling frequency.
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
    duree_max = horloge::duree_max_pour(frequence);
    if (numericUpDown_Duree)
        numericUpDown_Duree->setMaximum(static_cast<double>(duree_max));
    if (test)
        call_verb(QStringLiteral("Clock division : %1.  ").arg(fmt_G(int64_t(buf[1]))), 0);
    call_verb(QStringLiteral("Fréquence : %1 Hz.  Durée max d'acquisition (si le disque le supporte) : %2 s \r\n")
                  .arg(fmt_N0(double(frequence)), fmt_N1(double(duree_max))),
              0);
    clock_def = true;
    count_def = false;
    numericUpDown_Delay_ValueChanged();
}
