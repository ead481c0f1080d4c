#include "MessageBoxes.h"
#include "uPellmarMain.h"
#include "uResourceStrings.h"

#include "base/Utils.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[]) {
    // Answered before Qt starts, so that they work without a display (the man page is made from them).
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(SDesktopHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts(GetAppCaption().c_str());
        return 0;
    }
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
