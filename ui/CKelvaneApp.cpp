#include "CKelvaneApp.h"

#include "CKelvaneDlg.h"
#include "NinePart.h"
#include "WindowCommandLine.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTranslator>

void CKelvaneApp::SetUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setOrganizationName(QStringLiteral("QUARN"));
    QApplication::setWindowIcon(
        QIcon(QPixmap::fromImage(LoadRibbonImage(QStringLiteral("kelvane"), QSize(64, 64)))));
    // The framework's own texts (file dialogs, context menus of edits) in the session's language;
    // without its translation package they stay English.
    auto* const translator = new QTranslator(qApp);
    if (translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    else
        delete translator;
}

int CKelvaneApp::Run(int argc, char** argv)
{
    // --help and --version before the window framework, which needs a display. The framework's
    // own options (-platform, ...) are known only once it has taken them out.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CWindowCommandLine commandLine = ParseWindowCommandLine(arguments, true);
    if (commandLine.exitStatus)
        return *commandLine.exitStatus;

    QApplication app(argc, argv);
    SetUpApplication();
    commandLine = ParseWindowCommandLine(QApplication::arguments(), false);
    if (commandLine.exitStatus)
        return *commandLine.exitStatus;

    CKelvaneDlg window;
    window.InitDialog();
    // Without a window manager (a kiosk session) nobody maximizes: start at the screen's size.
    window.setGeometry(window.screen()->availableGeometry());
    window.showMaximized();
    if (!commandLine.files.empty()) {
        QTimer::singleShot(
            0, &window, [&window, files = commandLine.files] { window.ImportBidFiles(files); });
    }
    return QApplication::exec();
}
