// The settings dialog: how stored values open, and what OK accepts and refuses.
#include "RecordingPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "ui/CKelvaneSetting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

class TestKelvaneSetting : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir config;

    static void StoreFreeSpace(const QString& text)
    {
        const std::wstring path = CSettingFile::Instance().GetSettingFilePath();
        QFile file(QString::fromStdWString(path));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[WorkingDir]\npath=/srv/bids/\n[NetWorkingDir]\npath=\n[Common]\nfreespace =");
        file.write(text.toUtf8());
        file.write("\n");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QVERIFY(QDir().mkpath(config.filePath(QStringLiteral("QUARN/rmw"))));
    }

    void StoredMinimumOpensAsNumberAndUnit_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("unit");
        QTest::newRow("2GB") << "2GB" << 2 << "GB";
        QTest::newRow("500MB") << "500MB" << 500 << "MB";
        QTest::newRow("none") << "" << 0 << "MB";
        QTest::newRow("1023MB") << "1023MB" << 1023 << "MB";
        QTest::newRow("1024MB") << "1024MB" << 1 << "GB";
        QTest::newRow("1024GB") << "1024GB" << 0 << "GB";
        QTest::newRow("negative") << "-5MB" << 0 << "MB";
    }
    void StoredMinimumOpensAsNumberAndUnit()
    {
        QFETCH(QString, stored);
        QFETCH(int, number);
        QFETCH(QString, unit);
        StoreFreeSpace(stored);
        CRecordingPrompt prompt;
        CKelvaneSetting dialog(prompt);
        QCOMPARE(dialog.NumberEdit()->text(), QString::number(number));
        QCOMPARE(dialog.UnitBox()->currentText(), unit);
        QCOMPARE(dialog.WorkingDirEdit()->text(), QStringLiteral("/srv/bids/"));
        QVERIFY(dialog.LogCheck()->isChecked());
    }

    void OkComputesTheThreshold_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<quint64>("bytes");
        QTest::newRow("1024GB") << "1024"
                                << "GB" << true << quint64(1099511627776ULL);
        QTest::newRow("500MB") << "500"
                               << "MB" << true << quint64(524288000ULL);
        QTest::newRow("0GB") << "0"
                             << "GB" << true << quint64(0);
        QTest::newRow("1025MB") << "1025"
                                << "MB" << false << quint64(0);
        QTest::newRow("empty") << ""
                               << "MB" << false << quint64(0);
        QTest::newRow("huge") << "9999999999"
                              << "GB" << false << quint64(0);
    }
    void OkComputesTheThreshold()
    {
        QFETCH(QString, number);
        QFETCH(QString, unit);
        QFETCH(bool, accepted);
        QFETCH(quint64, bytes);
        StoreFreeSpace(QString());
        CRecordingPrompt prompt;
        CKelvaneSetting dialog(prompt);
        dialog.NumberEdit()->setText(number);
        dialog.UnitBox()->setCurrentText(unit);
        dialog.WorkingDirEdit()->setText(QStringLiteral("  /srv/bids  "));
        dialog.NetWorkingDirEdit()->setText(QStringLiteral("/mnt/server"));
        dialog.LogCheck()->setChecked(false);
        dialog.accept();
        QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
        if (!accepted) {
            QCOMPARE(prompt.asked.size(), std::size_t(1));
            QVERIFY(QString::fromStdWString(prompt.asked[0].text).contains(QStringLiteral("1024")));
            QCOMPARE(dialog.NumberEdit()->text(), number);
            return;
        }
        QVERIFY(prompt.asked.empty());
        QCOMPARE(dialog.FreeSpaceBytes(), bytes);
        QCOMPARE(dialog.FreeSpaceUnit(), unit);
        QCOMPARE(dialog.WorkingDir(), std::wstring(L"/srv/bids"));
        QCOMPARE(dialog.NetWorkingDir(), std::wstring(L"/mnt/server"));
        QCOMPARE(dialog.WriteLocalLog(), std::wstring(L"false"));
    }

    void EmptyFoldersAreRefused_data()
    {
        QTest::addColumn<QString>("working");
        QTest::addColumn<QString>("net");
        QTest::addColumn<QString>("key");
        QTest::newRow("working dir blank") << "   "
                                           << "/mnt/server"
                                           << "dir_cannot_null";
        QTest::newRow("bid server folder empty") << "/srv/bids"
                                                 << ""
                                                 << "networkdir_cannot_null";
        QTest::newRow("bid server folder blank") << "/srv/bids"
                                                 << " \t"
                                                 << "networkdir_cannot_null";
    }
    void EmptyFoldersAreRefused()
    {
        QFETCH(QString, working);
        QFETCH(QString, net);
        QFETCH(QString, key);
        StoreFreeSpace(QString());
        CRecordingPrompt prompt;
        CKelvaneSetting dialog(prompt);
        dialog.WorkingDirEdit()->setText(working);
        dialog.NetWorkingDirEdit()->setText(net);
        dialog.accept();
        QVERIFY(dialog.result() != QDialog::Accepted);
        QCOMPARE(prompt.asked.size(), std::size_t(1));
        const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
        QCOMPARE(prompt.asked[0].text, texts.GetText(key.toStdString()));
        QCOMPARE(prompt.asked[0].caption, texts.GetText("error"));
        QCOMPARE(prompt.asked[0].type, MB_OK | MB_ICONERROR);
        QCOMPARE(dialog.NetWorkingDirEdit()->text(), net);
    }
};

QTEST_MAIN(TestKelvaneSetting)
#include "TestKelvaneSetting.moc"
