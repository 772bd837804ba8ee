// kelvane-screenshots: the window of the workstation, driven through an operator's day on a demo
// tender, photographed at seven moments: the local import dialog, the PIN dialog, the main window
// after a finished opening, the settings dialog, the verification report, the certificate viewer
// of its signer and the About box.
//
//   kelvane-screenshots --out DIR BIDFILE...
//
// The window is the program's own (the same main window and dialogs as `kelvane`, its own
// message boxes); only the operator is played: by a poll on the UI thread that answers whatever
// modal window is up, as a person at the desk would. Pictures are taken from the display server
// (run it under Xvfb), so they show what the screen shows. Tokens, PINs and settings come from
// the environment of the demo tender (`source DIR/env`); KELVANE_PIN_FILE gives the PINs typed
// into the PIN dialog, KELVANE_OPERATOR_CERT the operator's certificate.
//
// Exits 0 when every picture was saved, 1 when the day did not go as expected (the reason on
// standard error), 2 on wrong arguments.
#include "app/LanguageCatalogue.h"
#include "ui/CKelvaneApp.h"
#include "ui/CKelvaneDlg.h"
#include "ui/CKelvaneSetting.h"
#include "ui/CMsgListView.h"
#include "ui/PkiDialogs.h"
#include "verify/widgets/CSingleBidFileVerifyDlg.h"
#include "verify/widgets/CVerifyProgressDlg.h"
#include "workspace/widgets/CBidFileListView.h"
#include "workspace/widgets/CImportFileDlg.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextStream>
#include <QTimer>
#include <QVariant>
#include <cstdio>
#include <functional>

namespace {

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

// The PINs of the demo tokens: lines "label<TAB>PIN".
QHash<QString, QString> ReadPins(const QString& path)
{
    QHash<QString, QString> pins;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return pins;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        if (tab > 0)
            pins.insert(line.left(tab), line.mid(tab + 1));
    }
    return pins;
}

class CScreenshotDay : public QObject
{
public:
    CScreenshotDay(QString folder, std::vector<std::wstring> bidFiles)
        : outDir(std::move(folder))
        , bids(std::move(bidFiles))
    {
        pins = ReadPins(qEnvironmentVariable("KELVANE_PIN_FILE"));
        connect(&poll, &QTimer::timeout, this, &CScreenshotDay::Poll);
    }

    int Run()
    {
        window.InitDialog();
        window.setGeometry(window.screen()->availableGeometry());
        window.show();
        poll.start(50);
        clock.start();
        return QApplication::exec();
    }

private:
    enum class Step
    {
        StartChecks,
        Import,
        Opening,
        Settings,
        Report,
        About,
        Done
    };
    static constexpr int kPictures = 7;

    // Never waits inside itself: a dialog that a command shows runs its own event loop, and this
    // poll must keep answering in there. Time to paint is given by answering a window only once it
    // has been up for a while.
    void Poll()
    {
        if (step == Step::Done)
            return;
        if (clock.elapsed() > 180000)
            return Fail(QStringLiteral("the day took longer than three minutes"));
        if (QWidget* const modal = QApplication::activeModalWidget())
            Answer(modal);
        else
            Advance();
    }

    // True once `object` has been waited on under `mark` for over `milliseconds`, across polls. The
    // mark lives on the object, so a new window at a freed one's address starts afresh.
    bool Waited(QObject* object, const char* mark, qint64 milliseconds)
    {
        const QVariant since = object->property(mark);
        if (!since.isValid()) {
            object->setProperty(mark, clock.elapsed());
            return false;
        }
        return clock.elapsed() - since.toLongLong() >= milliseconds;
    }

    // Moves the day on when no modal window is up. Commands that show a modal window are started
    // from a zero timer, so that this poll keeps running inside their dialogs' event loops.
    void Advance()
    {
        switch (step) {
        case Step::StartChecks:
            // The time-stamp test and the free-space check run half a second after the start.
            if (window.OutputView()->Lines().filter(Text("get_timestmap_success")).isEmpty()) {
                if (clock.elapsed() > 30000)
                    Fail(QStringLiteral("the start-up time-stamp test did not succeed"));
                return;
            }
            Start(Step::Import, [this] { window.OnCommand(kCmdImport); });
            break;
        case Step::Import:
            if (!commandDone)
                return;
            if (window.List()->rowCount() == 0)
                return Fail(QStringLiteral("the import listed no bid"));
            window.OnCommand(kCmdSelectAll);
            step = Step::Opening;
            window.OnCommand(kCmdDecrypt);
            break;
        case Step::Opening:
            if (!openingSummaryShown || window.IsBusy() || !Waited(&window, "finishedAt", 500))
                return;
            Save(&window, "main-window.png");
            Start(Step::Settings, [this] { window.OnCommand(kCmdSetting); });
            break;
        case Step::Settings:
            if (!commandDone)
                return;
            window.List()->selectRow(0);
            Start(Step::Report, [this] { window.OnCommand(kCmdVerifyBidFile); });
            break;
        case Step::Report:
            if (!commandDone)
                return;
            Start(Step::About, [this] { window.ShowAbout(); });
            break;
        case Step::About:
            if (!commandDone)
                return;
            step = Step::Done;
            if (saved != kPictures)
                return Fail(QStringLiteral("%1 of %2 pictures were taken").arg(saved).arg(kPictures));
            QApplication::exit(0);
            break;
        case Step::Done:
            break;
        }
    }

    void Start(Step next, std::function<void()> command)
    {
        step = next;
        commandDone = false;
        QTimer::singleShot(0, this, [this, command] {
            command();
            commandDone = true;
        });
    }

    // Each modal window is answered once, after it has been up long enough to be painted.
    void Answer(QWidget* modal)
    {
        if (modal->property("answered").toBool() || !Waited(modal, "shownAt", 400))
            return;
        if (auto* const import = qobject_cast<CImportFileDlg*>(modal)) {
            if (import->GetImportList().empty())
                return import->AddChosenFiles(bids);
            if (!Waited(import, "filledAt", 300))
                return;
            Save(import, "import-dialog.png");
            import->accept();
        } else if (auto* const pin = qobject_cast<CPinDialog*>(modal)) {
            if (!pins.contains(pin->TokenLabel()))
                return Fail(QStringLiteral("no PIN for the token \"%1\"").arg(pin->TokenLabel()));
            if (pin->PinEdit()->text().isEmpty())
                return pin->PinEdit()->setText(pins.value(pin->TokenLabel()));
            if (!pinSaved) {
                if (!Waited(pin, "filledAt", 300))
                    return;
                Save(pin, "pin-dialog.png");
                pinSaved = true;
            }
            pin->accept();
        } else if (auto* const settings = qobject_cast<CKelvaneSetting*>(modal)) {
            Save(settings, "settings-dialog.png");
            settings->reject();
        } else if (auto* const report = qobject_cast<CSingleBidFileVerifyDlg*>(modal)) {
            if (!report->property("verifyPressed").toBool()) {
                report->setProperty("verifyPressed", true);
                return report->VerifyButton()->click();
            }
            if (!Waited(report, "verifiedAt", 300))
                return;
            if (!report->property("certificateShown").toBool()) {
                Save(report, "verification-report.png");
                // The viewer is modal too: pressed from a zero timer, so that this poll runs on.
                report->setProperty("certificateShown", true);
                QTimer::singleShot(0, report->CertButton(), &QAbstractButton::click);
                return;
            }
            report->reject();
        } else if (auto* const viewer = qobject_cast<CCertViewerDlg*>(modal)) {
            Save(viewer, "certificate-viewer.png");
            viewer->reject();
        } else if (auto* const about = qobject_cast<QDialog*>(modal);
                   about != nullptr && step == Step::About && qobject_cast<QMessageBox*>(modal) == nullptr) {
            // Known by the step that showed it, whatever its title's language.
            Save(about, "about-box.png");
            about->accept();
        } else if (auto* const box = qobject_cast<QMessageBox*>(modal)) {
            AnswerBox(box);
        } else if (qobject_cast<CVerifyProgressDlg*>(modal) != nullptr) {
            // The progress window closes itself when the import has processed its list.
            return;
        } else {
            return Fail(QStringLiteral("an unexpected window came up: ") + modal->windowTitle());
        }
        modal->setProperty("answered", true);
    }

    // The operator inserts the openers' keys, confirms the openers and acknowledges the rest.
    void AnswerBox(QMessageBox* box)
    {
        std::printf("  [%s] %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
        std::fflush(stdout);
        if (box->text().startsWith(QStringLiteral("本次开标已完成")))
            openingSummaryShown = true;
        for (const QMessageBox::StandardButton choice : { QMessageBox::Yes, QMessageBox::Ok }) {
            if (QAbstractButton* const button = box->button(choice)) {
                button->click();
                return;
            }
        }
        Fail(QStringLiteral("a message box without Yes or OK: ") + box->text());
    }

    void Save(QWidget* widget, const char* name)
    {
        const QPixmap picture = widget->screen()->grabWindow(widget->winId());
        const QString path = QDir(outDir).filePath(QString::fromLatin1(name));
        if (picture.isNull() || !picture.save(path))
            return Fail(QStringLiteral("could not save ") + path);
        ++saved;
        std::printf("saved %s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
        std::fflush(stdout);
    }

    void Fail(const QString& why)
    {
        std::fprintf(stderr, "kelvane-screenshots: %s\n", qPrintable(why));
        step = Step::Done;
        QApplication::exit(1);
    }

    QString outDir;
    std::vector<std::wstring> bids;
    QHash<QString, QString> pins;
    CKelvaneDlg window;
    QTimer poll;
    QElapsedTimer clock;
    Step step = Step::StartChecks;
    bool commandDone = false;
    bool openingSummaryShown = false;
    bool pinSaved = false;
    int saved = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CKelvaneApp::SetUpApplication();

    const QStringList arguments = QApplication::arguments();
    if (arguments.size() < 4 || arguments[1] != QStringLiteral("--out")) {
        std::fprintf(stderr, "usage: kelvane-screenshots --out DIR BIDFILE...\n");
        return 2;
    }
    if (!QDir().mkpath(arguments[2])) {
        std::fprintf(stderr, "kelvane-screenshots: cannot create %s\n", qPrintable(arguments[2]));
        return 2;
    }
    std::vector<std::wstring> bids;
    for (qsizetype i = 3; i < arguments.size(); ++i)
        bids.push_back(QFileInfo(arguments[i]).absoluteFilePath().toStdWString());
    return CScreenshotDay(arguments[2], std::move(bids)).Run();
}
