#include "app/client_app.h"
#include "platform/heap_policy.h"

#include <QApplication>
#include <csignal>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char** argv)
{
    // A peer that closes a connection must fail that transfer, never end the program.
    std::signal(SIGPIPE, SIG_IGN);
    talvex::GiveLargeBlocksBack();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Talvex"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.16"));
    // The desktop entry and the icon theme name the program "talvex".
    QGuiApplication::setDesktopFileName(QStringLiteral("talvex"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("talvex"), QIcon(QStringLiteral(":/talvex-window.png"))));

    // The program speaks Korean whatever the system's language: file type names, dates and
    // Qt's own dialog buttons included.
    QLocale::setDefault(QLocale(QLocale::Korean, QLocale::SouthKorea));
    QTranslator qtKorean;
    if (qtKorean.load(QLocale(QLocale::Korean), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtKorean);

    CClientApp theApp;
    if (!theApp.InitInstance())
        return 1;
    return QApplication::exec();
}
