#include "uAbout.h"

#include "base/Exceptions.h"
#include "base/Utils.h"
#include "uResourceStrings.h"

TfrmAbout::TfrmAbout(QWidget *parent) : QDialog(parent) {
    setupUi(this);
    Label1->setText(
        QString::fromStdString(Format(SAboutText, SProductName, GetProductVersionStr(), GetAppVersionStr())));
    connect(Button1, &QPushButton::clicked, this, &TfrmAbout::Button1Click);
}

void TfrmAbout::Button1Click() {
    accept();
}
