// Fixed controls of the main window.
#include "app/principale.h"

#include <QPlainTextEdit>
#include <QPushButton>

void Principale::InitializeComponent()
{
    auto *centre = new QWidget(this);
    setCentralWidget(centre);
    textBox_Info = new QPlainTextEdit(centre);
    textBox_Info->setObjectName(QStringLiteral("textBox_Info"));
    textBox_Info->setGeometry(415, 375, 883, 384);
    button_Init = new QPushButton(QStringLiteral("Init"), centre);
    button_Init->setObjectName(QStringLiteral("button_Init"));
    button_Init->setGeometry(238, 80, 167, 52);
    connect(button_Init, &QPushButton::clicked, this, &Principale::button_Init_Click);
}
