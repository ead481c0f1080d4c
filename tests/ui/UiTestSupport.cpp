#include "UiTestSupport.h"

#include "TestFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <filesystem>

TWindowUnderTest::TWindowUnderTest() : Window(std::make_unique<TForm21>(Dialogs)) {
    Window->show();
    if (!QTest::qWaitForWindowExposed(Window.get()))
        qFatal("the main window was not shown");
}

void TWindowUnderTest::OpenAvi(const std::string &path) {
    Dialogs.FileToOpen = QString::fromStdString(path);
    QTest::mouseClick(Window->btn_LoadRIFF, Qt::LeftButton);
}

void TWindowUnderTest::OpenStream(const std::string &path) {
    Dialogs.FileToOpen = QString::fromStdString(path);
    QTest::mouseClick(Window->btnLoadStream, Qt::LeftButton);
}

// Sends a drag over the window and the drop of these files; returns whether the drag was accepted.
bool DropOnto(QWidget &window, const QStringList &paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    const QPointF where(window.width() / 2.0, window.height() / 2.0);
    QDragEnterEvent enter(where.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    return true;
}

// Chooses a preset as the user does, with the keyboard: the last one ("Custom") straight with End, any
// other from the first one down, passing the items between.
void ChooseSar(TForm21 &window, int position) {
    window.cbSAR->setFocus();
    if (position == window.cbSAR->count() - 1) {
        QTest::keyClick(window.cbSAR, Qt::Key_End);
        return;
    }
    QTest::keyClick(window.cbSAR, Qt::Key_Home);
    for (int i = 0; i < position; ++i)
        QTest::keyClick(window.cbSAR, Qt::Key_Down);
}

QStringList RowTexts(const QTreeWidgetItem &row) {
    QStringList texts;
    for (int column = 0; column < row.columnCount(); ++column)
        texts << row.text(column);
    return texts;
}

QTreeWidgetItem &Row(TForm21 &window, int index) {
    QTreeWidgetItem *row = window.lvARList->topLevelItem(index);
    if (row == nullptr)
        qFatal("no list row %d", index);
    return *row;
}

int RowCount(TForm21 &window) {
    return window.lvARList->topLevelItemCount();
}

int SelectedRowCount(TForm21 &window) {
    return static_cast<int>(window.lvARList->selectedItems().size());
}

bool DrawnAsChanged(const QTreeWidgetItem &row) {
    for (int column = 0; column < row.columnCount(); ++column)
        if (row.background(column).color() != QColor(255, 255, 0) ||
            row.foreground(column).color() != QColor(255, 0, 0))
            return false;
    return true;
}

bool DrawnNormally(const QTreeWidgetItem &row) {
    for (int column = 0; column < row.columnCount(); ++column)
        if (row.data(column, Qt::BackgroundRole).isValid() || row.data(column, Qt::ForegroundRole).isValid())
            return false;
    return true;
}

void TypeInto(QLineEdit *field, const QString &text) {
    field->setFocus();
    field->selectAll();
    if (text.isEmpty())
        QTest::keyClick(field, Qt::Key_Backspace);
    else
        QTest::keyClicks(field, text);
}

VideoSpec Video(int width, int height, int frames, const std::string &sar) {
    VideoSpec video;
    video.width = width;
    video.height = height;
    video.frames = frames;
    video.sar = sar;
    return video;
}

std::vector<uint8_t> Bytes(const std::string &path) {
    return ReadFile(path);
}

std::string CopyFile(const std::string &from, const std::string &to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    return to;
}
