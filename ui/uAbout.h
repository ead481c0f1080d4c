#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The About box: the program's terms of use and one OK button.
class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *parent = nullptr);

    QLabel *Label1;
    QPushButton *Button1;

private:
    void Button1Click();
};
