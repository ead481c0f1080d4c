#pragma once

// What the window tests share: dialogs answered by the test, a window to drive, and row texts.

#include "MediaFiles.h"
#include "MessageBoxes.h"
#include "uPellmarMain.h"

#include <QLineEdit>
#include <QStringList>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Records every dialog the window shows and answers with what the test has set.
class TFakeMessageBoxes : public TMessageBoxes {
public:
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
    bool ConfirmSave(const QString &text) override {
        SaveQuestions << text;
        return SaveAnswer;
    }
    bool ConfirmForeignHandler(const QString &text) override {
        HandlerQuestions << text;
        return HandlerAnswer;
    }
    bool ConfirmRecovery(const QString &text) override {
        RecoveryQuestions << text;
        return RecoveryAnswer;
    }
    bool ConfirmUndo(const QString &text) override {
        UndoQuestions << text;
        return UndoAnswer;
    }
    QString OpenFileName(QWidget *, const QString &filter) override {
        Filters << filter;
        return FileToOpen;
    }

    QStringList Messages;
    QStringList Errors;
    QStringList SaveQuestions;
    QStringList HandlerQuestions;
    QStringList Filters;
    QStringList RecoveryQuestions;
    QStringList UndoQuestions;
    bool SaveAnswer = true;
    bool HandlerAnswer = true;
    bool RecoveryAnswer = true;
    bool UndoAnswer = true;
    QString FileToOpen;
};

// A shown main window with its fake dialogs.
struct TWindowUnderTest {
    TWindowUnderTest();
    TFakeMessageBoxes Dialogs;
    std::unique_ptr<TForm21> Window;
    TForm21 &operator*() { return *Window; }
    TForm21 *operator->() { return Window.get(); }

    // Opens a file with the "Avi..." or "Stream..." button, the dialog answering with the path.
    void OpenAvi(const std::string &path);
    void OpenStream(const std::string &path);
};

// Sends a drag over the window and the drop of these files; returns whether the drag was accepted.
bool DropOnto(QWidget &window, const QStringList &paths);
// Chooses a preset of the SAR list as the user does, with the keyboard.
void ChooseSar(TForm21 &window, int position);

// The texts of one list row, column by column.
QStringList RowTexts(const QTreeWidgetItem &row);
QTreeWidgetItem &Row(TForm21 &window, int index);
int RowCount(TForm21 &window);
int SelectedRowCount(TForm21 &window);
// Whether the row is drawn as changed: yellow background and red text in every column.
bool DrawnAsChanged(const QTreeWidgetItem &row);
// Whether the row keeps the list's default colours in every column.
bool DrawnNormally(const QTreeWidgetItem &row);

// Replaces a field's text as the user does: select everything, then type.
void TypeInto(QLineEdit *field, const QString &text);

// A test pattern to encode with libx264; the other fields keep their defaults.
VideoSpec Video(int width, int height, int frames, const std::string &sar);

std::vector<uint8_t> Bytes(const std::string &path);
// A copy of a file under a new name in the same folder.
std::string CopyFile(const std::string &from, const std::string &to);
