#include "app/case_niveau.h"

#include <QPainter>

CaseNiveau::CaseNiveau(QWidget *parent)
    : QFrame(parent), couleur_(qRgb(255, 255, 255))
{
    setFrameShape(QFrame::NoFrame);
    setAttribute(Qt::WA_OpaquePaintEvent); // paints every pixel itself
}

void CaseNiveau::setCouleur(QRgb c)
{
    if (c == couleur_)
        return;
    couleur_ = c;
    update();
}

void CaseNiveau::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor::fromRgb(couleur_));
}
