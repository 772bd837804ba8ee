#include "opening/RecordPdf.h"

#include "app/LocalLog.h"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>
#include <QTextOption>
#include <clocale>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

QString Escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

QString Text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

// "2026-12-08T22:40:05+08:00" as "2026-12-08 22:40:05 +08:00": the zone stays, the record's
// times are in different ones.
QString ReadableTime(const QString& iso)
{
    if (iso.size() < 19)
        return iso;
    QString text = iso.left(10) + QLatin1Char(' ') + iso.mid(11, 8);
    const QString zone = iso.mid(19);
    if (zone == QLatin1String("Z"))
        return text + QStringLiteral(" UTC");
    return zone.isEmpty() ? text : text + QLatin1Char(' ') + zone;
}

// A verification code in groups of eight, the way it is read aloud and compared.
QString Grouped(const QString& code)
{
    QStringList groups;
    for (int i = 0; i < code.size(); i += 8)
        groups << code.mid(i, 8);
    return groups.join(QLatin1Char(' '));
}

// The Chinese text of a state or outcome the record names in English; an unknown name as it is.
using CNames = std::initializer_list<std::pair<const char*, const char*>>;
QString Named(const CNames& names, const QString& name)
{
    for (const auto& [english, chinese] : names)
        if (name == QLatin1String(english))
            return QString::fromUtf8(chinese);
    return name;
}

QString StatusText(const QString& status)
{
    return Named({ { "not_opened", "未开标" }, { "decrypting", "解密中" }, { "decrypted", "解密成功" },
                     { "damaged", "已损坏（移入 Bad）" }, { "conditions_not_met", "未达到开标条件" },
                     { "decrypt_failed", "解密失败" }, { "not_reached", "未处理" } },
        status);
}

QString OutcomeText(const QString& outcome)
{
    return Named({ { "completed", "开标完成" }, { "cancelled", "开标取消" },
                     { "rules_not_fetched", "获取规则文件失败" }, { "no_time_stamp", "获取时间戳失败" },
                     { "no_opening_time", "获取开标时间失败" }, { "opening_time_not_yet", "未到开标时间" },
                     { "no_opener_certificates", "获取开标人证书失败" },
                     { "no_file_verified", "没有可解密的文件" }, { "aborted", "程序故障中止" } },
        outcome);
}

QString Row(const QString& label, const QString& value)
{
    return QStringLiteral("<tr><td width=\"18%\"><b>%1</b></td><td>%2</td></tr>").arg(Escaped(label), value);
}

QString OpenersText(const QJsonObject& record)
{
    QStringList names;
    // The rules' openers with what they did; older records name those who contributed only.
    const QJsonArray named = record.value(QLatin1String("openers")).toArray();
    for (const QJsonValue& value : named) {
        const QJsonObject opener = value.toObject();
        names << Escaped(Text(opener, "name"))
                + (opener.value(QLatin1String("contributed")).toBool() ? QStringLiteral("（参与解密）")
                                                                       : QStringLiteral("（未参与解密）"));
    }
    if (named.isEmpty()) {
        for (const QJsonValue& value : record.value(QLatin1String("openers_present")).toArray())
            names << Escaped(Text(value.toObject(), "name"));
    }
    return names.isEmpty() ? QStringLiteral("—") : names.join(QStringLiteral("，"));
}

QString HeaderTable(const QJsonObject& record)
{
    const QJsonObject project = record.value(QLatin1String("project")).toObject();
    const QJsonObject stamp = record.value(QLatin1String("time_stamp")).toObject();
    const QJsonObject person = record.value(QLatin1String("operator")).toObject();
    const QJsonObject program = record.value(QLatin1String("program")).toObject();
    QString stampText = QStringLiteral("—");
    if (!stamp.isEmpty()) {
        stampText = Escaped(ReadableTime(Text(stamp, "time"))) + QStringLiteral("<br>")
            + Escaped(Text(stamp, "authority")) + QStringLiteral("<br>序列号 ")
            + Escaped(Text(stamp, "serial"));
    }
    const QString operatorText = person.isEmpty() ? QStringLiteral("—")
                                                  : Escaped(Text(person, "subject"))
            + QStringLiteral("<br>证书 SHA-256 ") + Escaped(Text(person, "sha256"));
    QString html = QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"3\">");
    html += Row(QStringLiteral("项目编号"), Escaped(Text(project, "number")));
    html += Row(QStringLiteral("项目名称"), Escaped(Text(project, "name")));
    html += Row(QStringLiteral("标段（包）"), Escaped(Text(record, "package")));
    html += Row(QStringLiteral("开标机构"), Escaped(Text(record, "opening_organisation")));
    html += Row(QStringLiteral("开标时间"), Escaped(ReadableTime(Text(record, "opening_time"))));
    html += Row(QStringLiteral("时间戳"), stampText);
    html += Row(QStringLiteral("操作人"), operatorText);
    html += Row(QStringLiteral("开标人"), OpenersText(record));
    html += Row(QStringLiteral("开标结果"), Escaped(OutcomeText(Text(record, "outcome"))));
    html += Row(QStringLiteral("开始 / 结束"),
        Escaped(ReadableTime(Text(record, "started"))) + QStringLiteral(" / ")
            + Escaped(ReadableTime(Text(record, "finished"))));
    html += Row(
        QStringLiteral("程序"), Escaped(Text(program, "name") + QLatin1Char(' ') + Text(program, "version")));
    return html + QStringLiteral("</table>");
}

QString BidRow(int number, const QJsonObject& bid, const QString& servedTime)
{
    QString status = Escaped(StatusText(Text(bid, "status")));
    if (const QString reason = Text(bid, "reason"); !reason.isEmpty())
        status += QStringLiteral("<br>") + Escaped(reason);
    // The bid's own opening time only where it differs from the served one.
    if (const QString own = Text(bid, "opening_time"); !own.isEmpty() && own != servedTime)
        status += QStringLiteral("<br>标书开标时间 ") + Escaped(ReadableTime(own));
    QString signer = Escaped(Text(bid, "signer"));
    if (const QString company = Text(bid, "company"); !company.isEmpty())
        signer += QStringLiteral("<br>") + Escaped(company);
    QStringList openers;
    for (const QJsonValue& value : bid.value(QLatin1String("openers")).toArray())
        openers << Escaped(Text(value.toObject(), "name"));
    QStringList files;
    for (const QJsonValue& value : bid.value(QLatin1String("decrypted_files")).toArray()) {
        const QJsonObject file = value.toObject();
        // One arg() for both: a name with "%2" in it stays as it is.
        files << QStringLiteral("Open/%1（%2 字节）")
                     .arg(Escaped(Text(file, "path")),
                         QString::number(file.value(QLatin1String("size")).toVariant().toULongLong()));
    }
    const QString cells[] = { QString::number(number), Escaped(Text(bid, "file")),
        Escaped(Grouped(Text(bid, "verification_code"))), signer, status,
        openers.join(QStringLiteral("<br>")), files.join(QStringLiteral("<br>")) };
    QString html = QStringLiteral("<tr>");
    for (const QString& cell : cells)
        html += QStringLiteral("<td>") + cell + QStringLiteral("</td>");
    return html + QStringLiteral("</tr>");
}

QString BidTable(const QJsonObject& record)
{
    static const std::pair<const char*, int> kColumns[] = {
        { "序号", 5 },
        { "标书文件", 16 },
        { "校验码（SM3）", 19 },
        { "投标人 / 单位", 13 },
        { "状态及原因", 15 },
        { "参与解密的开标人", 11 },
        { "解密文件", 21 },
    };
    // The header row is the table's thead: it repeats at the top of every page the table runs to.
    QString html = QStringLiteral("<table width=\"100%\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                                  "style=\"border-collapse: collapse;\"><thead><tr>");
    for (const auto& [title, width] : kColumns)
        html += QStringLiteral("<th width=\"%1%\" bgcolor=\"#e8e8e8\">%2</th>")
                    .arg(QString::number(width), QString::fromUtf8(title));
    html += QStringLiteral("</tr></thead><tbody>");
    const QString served = Text(record, "opening_time");
    int number = 0;
    for (const QJsonValue& bid : record.value(QLatin1String("bids")).toArray())
        html += BidRow(++number, bid.toObject(), served);
    return html + QStringLiteral("</tbody></table>");
}

QString CountsText(const QJsonObject& record)
{
    const QJsonObject counts = record.value(QLatin1String("counts")).toObject();
    QString text = QStringLiteral("标书共 %1 份").arg(counts.value(QLatin1String("bids")).toInt());
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it) {
        if (it.key() != QLatin1String("bids"))
            parts
                << QStringLiteral("%1 %2 份").arg(StatusText(it.key()), QString::number(it.value().toInt()));
    }
    return parts.isEmpty()
        ? text + QStringLiteral("。")
        : text + QStringLiteral("：") + parts.join(QStringLiteral("，")) + QStringLiteral("。");
}

// Qt's own warnings (the offscreen platform's about the session) are no output of the program's.
void ToLocalLog(QtMsgType, const QMessageLogContext&, const QString& message)
{
    WriteLocalLog(1, "qt: %s\n", message.toUtf8().constData());
}

} // namespace

std::string PrintOpeningRecord(const CRecordPrint& record, std::wstring& problem)
{
    QJsonParseError error {};
    const QJsonDocument parsed = QJsonDocument::fromJson(QByteArray::fromStdString(record.json), &error);
    if (!parsed.isObject()) {
        problem = L"记录不是 JSON 对象：" + error.errorString().toStdWString();
        return {};
    }
    const QJsonObject document = parsed.object();
    const QJsonObject project = document.value(QLatin1String("project")).toObject();

    QString html = QStringLiteral("<h2 align=\"center\">开标记录</h2>");
    html += HeaderTable(document);
    html += QStringLiteral("<p></p>") + BidTable(document);
    html += QStringLiteral("<p>") + Escaped(CountsText(document)) + QStringLiteral("</p>");
    html += QStringLiteral("<p><b>验证：</b>本记录 JSON 文件的 SHA-256 为 %1；操作人签名的时间戳时间 %2。"
                           "用 kelvane-cli record verify 核对签名、时间戳与解密文件。</p>")
                .arg(QString::fromStdString(record.sha256),
                    record.stampTime.empty()
                        ? QStringLiteral("（无）")
                        : Escaped(ReadableTime(QString::fromStdString(record.stampTime))));

    QTextDocument layout;
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPointSizeF(8.5);
    layout.setDefaultFont(font);
    // A long file name, reason or code breaks where it must instead of widening the table.
    QTextOption option = layout.defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setDefaultTextOption(option);
    layout.setHtml(html);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QPageSize::A4));
        // The document's own 2 cm margins frame every page.
        writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
        writer.setTitle(
            QStringLiteral("开标记录 %1 %2").arg(Text(project, "number"), Text(document, "package")));
        writer.setCreator(QStringLiteral("Kelvane"));
        layout.print(&writer);
    }
    if (buffer.data().isEmpty()) {
        problem = L"PDF 为空";
        return {};
    }
    return buffer.data().toStdString();
}

CPrintingGui::CPrintingGui()
{
    if (QCoreApplication::instance() != nullptr)
        return;
    // Qt's application takes the environment's locale; the program's own stays as it was.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string locale = current != nullptr ? current : "C";
    static char name[] = "kelvane";
    static char option[] = "-platform";
    static char platform[] = "offscreen";
    argc = 3;
    argv[0] = name;
    argv[1] = option;
    argv[2] = platform;
    qInstallMessageHandler(&ToLocalLog);
    application = std::make_unique<QGuiApplication>(argc, argv);
    std::setlocale(LC_ALL, locale.c_str());
}

CPrintingGui::~CPrintingGui()
{
    if (application) {
        application.reset();
        qInstallMessageHandler(nullptr);
    }
}
