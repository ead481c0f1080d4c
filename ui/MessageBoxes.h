#pragma once

#include <QString>

class QWidget;

// The window's modal dialogs: the plain message box, the top-level error box, the two warning questions
// and the file-open dialog. The window only talks to this interface, so another implementation can
// answer in its place.
class TMessageBoxes {
public:
    virtual ~TMessageBoxes() = default;
    // Titled with the application title, no icon, one OK button, centred on the screen.
    virtual void ShowMessage(const QString &text) = 0;
    // The top-level error box: application title, error icon, one OK button.
    virtual void ShowError(const QString &text) = 0;
    // Warning questions with OK and Cancel; true only for OK.
    virtual bool ConfirmSave(const QString &text) = 0;
    virtual bool ConfirmForeignHandler(const QString &text) = 0;
    // Questions with Yes and No; true only for Yes.
    virtual bool ConfirmRecovery(const QString &text) = 0;
    virtual bool ConfirmUndo(const QString &text) = 0;
    // The file-open dialog for an existing file; empty when cancelled.
    virtual QString OpenFileName(QWidget *parent, const QString &filter) = 0;
};

// The real dialogs, with QMessageBox and QFileDialog.
class TQtMessageBoxes : public TMessageBoxes {
public:
    void ShowMessage(const QString &text) override;
    void ShowError(const QString &text) override;
    bool ConfirmSave(const QString &text) override;
    bool ConfirmForeignHandler(const QString &text) override;
    bool ConfirmRecovery(const QString &text) override;
    bool ConfirmUndo(const QString &text) override;
    QString OpenFileName(QWidget *parent, const QString &filter) override;

private:
    bool Warning(const QString &text);
    bool Question(const QString &text);
    QString FLastFolder; // the dialog opens where the last file was chosen
};

// The text of the error box for an error message: a full stop is appended when the message's last
// character sorts after the full stop.
