#include "MessageBoxes.h"

#include "uResourceStrings.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

void ShowBox(QMessageBox::Icon icon, const QString &text) {
    QMessageBox box(icon, SApplicationTitle, text, QMessageBox::Ok);
    box.exec();
}

} // namespace

void TQtMessageBoxes::ShowMessage(const QString &text) {
    ShowBox(QMessageBox::NoIcon, text);
}

void TQtMessageBoxes::ShowError(const QString &text) {
    ShowBox(QMessageBox::Critical, text);
}

bool TQtMessageBoxes::ConfirmSave(const QString &text) {
    return Warning(text);
}

bool TQtMessageBoxes::ConfirmForeignHandler(const QString &text) {
    return Warning(text);
}

bool TQtMessageBoxes::ConfirmRecovery(const QString &text) {
    return Question(text);
}

bool TQtMessageBoxes::ConfirmUndo(const QString &text) {
    return Question(text);
}

bool TQtMessageBoxes::Question(const QString &text) {
    QMessageBox box(QMessageBox::Question, SApplicationTitle, text, QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool TQtMessageBoxes::Warning(const QString &text) {
    QMessageBox box(QMessageBox::Warning, SWarningTitle, text, QMessageBox::Ok | QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

QString TQtMessageBoxes::OpenFileName(QWidget *parent, const QString &filter) {
    QString fileName = QFileDialog::getOpenFileName(parent, QString(), FLastFolder, filter);
    if (!fileName.isEmpty())
        FLastFolder = QFileInfo(fileName).absolutePath();
    return fileName;
}
