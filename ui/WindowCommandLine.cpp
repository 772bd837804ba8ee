#include "WindowCommandLine.h"

#include "app/Version.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>

namespace {

// The options that the window framework takes out of the command line itself.
bool OnlyFrameworkOptions(const QStringList& names)
{
    static const QStringList framework { "platform", "platformpluginpath", "platformtheme", "plugin",
        "display", "geometry", "qwindowgeometry", "qwindowtitle", "qwindowicon", "title", "name", "reverse",
        "session", "style", "stylesheet", "widgetcount", "qmljsdebugger", "dialogs", "nograb", "dograb",
        "visual", "ncols", "cmap", "sync" };
    for (const QString& name : names) {
        if (!framework.contains(name.section(QLatin1Char('='), 0, 0)))
            return false;
    }
    return true;
}

} // namespace

CWindowCommandLine ParseWindowCommandLine(const QStringList& arguments, bool allowUnknownOptions)
{
    QCommandLineParser parser;
    // -platform is one option, as the framework reads it, not -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "The bid-opening workstation's window: imports, verifies and opens the sealed bid files (.bidx) "
        "of a tender. Bid files given here are offered for import when the window is up."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("files"), QStringLiteral("Sealed bid files to import."), QStringLiteral("[FILE...]"));

    CWindowCommandLine result;
    const bool parsed = parser.parse(arguments);
    if (parsed && parser.isSet(help)) {
        // The usage line names the program as it was called, also before any application object.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QFileInfo(arguments.value(0)).fileName());
        std::fputs(text.toLocal8Bit().constData(), stdout);
        result.exitStatus = 0;
        return result;
    }
    if (parsed && parser.isSet(version)) {
        std::printf("kelvane %s\n", kKelvaneVersion);
        result.exitStatus = 0;
        return result;
    }
    if (!parsed) {
        // Left for the framework: the files are read again once it has taken its options out.
        if (!allowUnknownOptions || !OnlyFrameworkOptions(parser.unknownOptionNames())) {
            std::fprintf(
                stderr, "kelvane: %s\nTry 'kelvane --help'.\n", parser.errorText().toLocal8Bit().constData());
            result.exitStatus = 2;
        }
        return result;
    }
    for (const QString& file : parser.positionalArguments())
        result.files.push_back(QFileInfo(file).absoluteFilePath().toStdWString());
    return result;
}
