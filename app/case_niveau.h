#pragma once
// Level cell of one microphone: a plain rectangle of one colour, white when no level is shown.
// Changing its colour stores it and schedules a repaint, nothing more, so the level pass can
// recolour 256 cells on every packet.
#include <QColor>
#include <QFrame>

class CaseNiveau : public QFrame {
public:
    explicit CaseNiveau(QWidget *parent = nullptr);

    QRgb couleur() const { return couleur_; }
    void setCouleur(QRgb c); // repaints only when the colour changes

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QRgb couleur_;
};
