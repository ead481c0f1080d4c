#include "MessageBoxes.h"
#include "uPellmarMain.h"
#include "uResourceStrings.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(SApplicationTitle);
    // The installed desktop entry and icon theme entry carry the program's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("pellmar"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("pellmar")));
    TQtMessageBoxes messages;
    TForm21 window(messages);
    window.show();
    // "pellmar FILE", as a file manager starts it for a file.
    window.OpenAtStart(QApplication::arguments());
    return QApplication::exec();
}
