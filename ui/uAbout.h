#pragma once

#include "ui_uAbout.h"

#include <QDialog>

// The About box: the program's terms of use and one OK button. Its layout is uAbout.ui.
class TfrmAbout : public QDialog, public Ui::TfrmAbout {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *parent = nullptr);

private:
    void Button1Click();
};
