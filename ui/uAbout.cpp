#include "uAbout.h"

#include "base/Exceptions.h"
#include "base/Utils.h"
#include "uResourceStrings.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmAbout::TfrmAbout(QWidget *parent)
    : QDialog(parent), Label1(new QLabel(this)), Button1(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(SAboutTitle);
    setModal(true);
    Label1->setWordWrap(true);
    Label1->setText(QString::fromStdString(Format(SAboutText, SProductName, GetProductVersionStr())));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TfrmAbout::Button1Click);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1, 1);
    layout->addWidget(Button1, 0, Qt::AlignHCenter);
    resize(394, 194);
}

void TfrmAbout::Button1Click() {
    accept();
}
