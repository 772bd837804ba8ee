#include "PkiDialogs.h"

#include "PkiPtr.h"
#include "QuarnPKI.h"
#include "UiThread.h"
#include "app/LanguageCatalogue.h"
#include "app/PkiSettings.h"
#include "app/cli/PkiPrompts.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimeZone>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdlib>
#include <cstring>

namespace {

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

QString StringAttribute(void* cert, int attribute)
{
    std::string value;
    if (!kelvane::pki::GetCertText(cert, attribute, value))
        return {};
    return QString::fromStdString(value);
}

int IntegerAttribute(void* cert, int attribute, int fallback)
{
    int value = fallback;
    if (QuarnPKICertGetCertIntegerAttribute(cert, attribute, &value) != QUARNPKI_OK)
        return fallback;
    return value;
}

// "YYYYMMDDhhmmssZ" in local time.
QString LocalTime(const QString& utc)
{
    QDateTime time = QDateTime::fromString(utc, QStringLiteral("yyyyMMddHHmmss'Z'"));
    if (!time.isValid())
        return utc;
    time.setTimeZone(QTimeZone::utc());
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString KeyText(void* cert)
{
    const int type = IntegerAttribute(cert, QUARNPKI_CERT_KEY_TYPE, -1);
    const int bits = IntegerAttribute(cert, QUARNPKI_CERT_KEY_BITS, 0);
    QString name;
    if (type == QUARNPKI_KEY_TYPE_RSA) {
        name = QStringLiteral("RSA");
    } else if (type == QUARNPKI_KEY_TYPE_EC) {
        switch (IntegerAttribute(cert, QUARNPKI_CERT_KEY_CURVE, 0)) {
        case QUARNPKI_CURVE_SM2:
            name = QStringLiteral("SM2");
            break;
        case QUARNPKI_CURVE_P256:
            name = QStringLiteral("EC P-256");
            break;
        case 2:
            name = QStringLiteral("EC P-384");
            break;
        case 3:
            name = QStringLiteral("EC P-521");
            break;
        default:
            name = QStringLiteral("EC");
            break;
        }
    } else {
        name = Text("cert_key_unknown");
    }
    return bits > 0 ? QStringLiteral("%1 %2").arg(name).arg(bits) : name;
}

QString UsageText(void* cert)
{
    const int usage = IntegerAttribute(cert, QUARNPKI_CERT_KEY_USAGE, -1);
    if (usage < 0)
        return {};
    static const struct
    {
        int bit;
        const char* key;
    } names[] = {
        { 0x80, "usage_digital_signature" },
        { 0x40, "usage_non_repudiation" },
        { 0x20, "usage_key_encipherment" },
        { 0x10, "usage_data_encipherment" },
        { 0x08, "usage_key_agreement" },
        { 0x04, "usage_cert_sign" },
        { 0x02, "usage_crl_sign" },
        { 0x01, "usage_encipher_only" },
        { 0x8000, "usage_decipher_only" },
    };
    QStringList shown;
    for (const auto& entry : names) {
        if ((usage & entry.bit) != 0)
            shown.append(Text(entry.key));
    }
    return shown.join(Text("list_separator"));
}

QString Fingerprint(void* cert)
{
    const QString hex = StringAttribute(cert, QUARNPKI_CERT_SHA256_FINGERPRINT);
    QStringList pairs;
    for (int i = 0; i + 1 < hex.size(); i += 2)
        pairs.append(hex.mid(i, 2));
    return pairs.join(QLatin1Char(':'));
}

} // namespace

CCertFields ReadCertFields(void* cert)
{
    CCertFields fields;
    if (cert == nullptr)
        return fields;
    fields.commonName = StringAttribute(cert, QUARNPKI_CERT_COMMON_NAME);
    fields.subject = StringAttribute(cert, QUARNPKI_CERT_SUBJECT);
    fields.issuer = StringAttribute(cert, QUARNPKI_CERT_ISSUER);
    fields.notBefore = LocalTime(StringAttribute(cert, QUARNPKI_CERT_NOT_BEFORE));
    fields.notAfter = LocalTime(StringAttribute(cert, QUARNPKI_CERT_NOT_AFTER));
    fields.serial = StringAttribute(cert, QUARNPKI_CERT_SERIAL);
    fields.key = KeyText(cert);
    fields.usage = UsageText(cert);
    fields.fingerprint = Fingerprint(cert);
    return fields;
}

CPinDialog::CPinDialog(const QString& token, int attemptsLeft, int maxLength, QWidget* parent)
    : QDialog(parent)
    , tokenLabel(token)
{
    setWindowTitle(Text("pin_title"));
    auto* const layout = new QVBoxLayout(this);
    auto* const prompt = new QLabel(Text("pin_prompt").arg(tokenLabel), this);
    prompt->setTextFormat(Qt::PlainText);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    pinEdit = new QLineEdit(this);
    pinEdit->setEchoMode(QLineEdit::Password);
    pinEdit->setMaxLength(maxLength);
    layout->addWidget(pinEdit);
    attemptsLabel = new QLabel(this);
    attemptsLabel->setTextFormat(Qt::PlainText);
    attemptsLabel->setStyleSheet(QStringLiteral("color: #b00000"));
    if (attemptsLeft == 1)
        attemptsLabel->setText(Text("pin_last_try"));
    else if (attemptsLeft > 1)
        attemptsLabel->setText(Text("pin_tries_left").arg(attemptsLeft));
    attemptsLabel->setVisible(!attemptsLabel->text().isEmpty());
    layout->addWidget(attemptsLabel);
    auto* const buttons = new QDialogButtonBox(this);
    buttons->addButton(Text("ok"), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text("cancel"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setMinimumWidth(360);
}

CCertChooserDlg::CCertChooserDlg(void* const* candidates, int count, QWidget* parent)
    : QDialog(parent)
    , certs(candidates)
{
    setWindowTitle(Text("cert_choose_title"));
    auto* const layout = new QVBoxLayout(this);
    list = new QTreeWidget(this);
    list->setRootIsDecorated(false);
    list->setHeaderLabels({ Text("cert_issued_to"), Text("cert_issuer"), Text("cert_valid_to") });
    for (int i = 0; i < count; ++i) {
        const CCertFields fields = ReadCertFields(certs[i]);
        auto* const row = new QTreeWidgetItem(list);
        row->setText(0, fields.commonName.isEmpty() ? fields.subject : fields.commonName);
        row->setText(1, fields.issuer);
        row->setText(2, fields.notAfter);
    }
    for (int column = 0; column < list->columnCount(); ++column)
        list->resizeColumnToContents(column);
    if (count > 0)
        list->setCurrentItem(list->topLevelItem(0));
    layout->addWidget(list);

    auto* const buttons = new QDialogButtonBox(this);
    QPushButton* const view = buttons->addButton(Text("cert_view"), QDialogButtonBox::ActionRole);
    buttons->addButton(Text("ok"), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text("cancel"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (Chosen() >= 0)
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(view, &QPushButton::clicked, this, [this] {
        const int row = Chosen();
        if (row >= 0)
            CCertViewerDlg(this->certs[row], this).exec();
    });
    resize(560, 300);
}

int CCertChooserDlg::Chosen() const
{
    QTreeWidgetItem* const current = list->currentItem();
    return current != nullptr ? list->indexOfTopLevelItem(current) : -1;
}

CCertViewerDlg::CCertViewerDlg(void* cert, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(Text("cert_title"));
    const CCertFields fields = ReadCertFields(cert);
    auto* const layout = new QVBoxLayout(this);
    form = new QWidget(this);
    auto* const rows = new QFormLayout(form);
    const auto add = [this, rows](const char* key, const QString& value) {
        auto* const label = new QLabel(value, form);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setObjectName(QLatin1String(key));
        rows->addRow(Text(key), label);
    };
    add("cert_subject", fields.subject);
    add("cert_issuer", fields.issuer);
    add("cert_valid_from", fields.notBefore);
    add("cert_valid_to", fields.notAfter);
    add("cert_serial", fields.serial);
    add("cert_public_key", fields.key);
    add("cert_key_usage", fields.usage.isEmpty() ? Text("cert_usage_any") : fields.usage);
    add("cert_fingerprint", fields.fingerprint);
    layout->addWidget(form);
    auto* const buttons = new QDialogButtonBox(this);
    buttons->addButton(Text("ok"), QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    setMinimumWidth(520);
}

QString CCertViewerDlg::FieldText(const char* key) const
{
    const auto* const label = form->findChild<QLabel*>(QLatin1String(key));
    return label != nullptr ? label->text() : QString();
}

namespace {

// What the hooks need besides their arguments: the window that owns their dialogs.
struct CPkiHookOwner
{
    QPointer<QWidget> window;
};

CPkiHookOwner hookOwner;

QWidget* OwnerOf(void* userData)
{
    return userData != nullptr ? static_cast<CPkiHookOwner*>(userData)->window.data() : nullptr;
}

} // namespace

int PinPromptHook(void* userData, const char* tokenLabel, int attemptsLeft, char* pin, int pinCapacity)
{
    if (pin == nullptr || pinCapacity < 2)
        return 0;
    const QString label = QString::fromUtf8(tokenLabel != nullptr ? tokenLabel : "");
    return RunOnUiThread(nullptr, [&] {
        CPinDialog dialog(label, attemptsLeft, pinCapacity - 1, OwnerOf(userData));
        if (dialog.exec() != QDialog::Accepted)
            return 0;
        QByteArray bytes = dialog.PinEdit()->text().toUtf8();
        dialog.PinEdit()->clear();
        // A PIN that does not fit is refused rather than cut: a cut PIN would count as a wrong one.
        const bool fits = bytes.size() < pinCapacity;
        if (fits) {
            std::memcpy(pin, bytes.constData(), static_cast<std::size_t>(bytes.size()));
            pin[bytes.size()] = '\0';
        }
        bytes.fill('\0');
        return fits ? 1 : 0;
    });
}

int CertChooserHook(void* userData, void* const* certs, int count, int* chosen)
{
    if (certs == nullptr || count <= 0 || chosen == nullptr)
        return 0;
    return RunOnUiThread(nullptr, [&] {
        CCertChooserDlg dialog(certs, count, OwnerOf(userData));
        if (dialog.exec() != QDialog::Accepted || dialog.Chosen() < 0)
            return 0;
        *chosen = dialog.Chosen();
        return 1;
    });
}

int CertViewerHook(void* userData, void* owner, void* cert)
{
    if (cert == nullptr)
        return 0;
    return RunOnUiThread(nullptr, [&] {
        // The window passes itself, or nothing, as the owner of the viewer.
        QWidget* const parent = owner != nullptr ? static_cast<QWidget*>(owner) : OwnerOf(userData);
        CCertViewerDlg(cert, parent).exec();
        return 1;
    });
}

void MessageHook(void* userData, const char* message)
{
    if (message == nullptr)
        return;
    const QString text = QString::fromUtf8(message);
    RunOnUiThread(nullptr, [&] {
        QMessageBox box(QMessageBox::Warning,
            QString::fromStdWString(CLanguageCatalogue::Instance().GetText("warnning")), text,
            QMessageBox::Ok, OwnerOf(userData));
        box.exec();
        return 0;
    });
}

void InstallPkiHooks(QWidget* owner)
{
    hookOwner.window = owner;
    kelvane::SupplyPkiSettings();
    QuarnPKISetPinPromptHook(&PinPromptHook, &hookOwner);
    const char* const named = std::getenv("KELVANE_OPERATOR_CERT");
    const bool chosenByName = named != nullptr && *named != '\0';
    if (chosenByName)
        QuarnPKISetCertChooserHook(&kelvane::HeadlessCertChooser, nullptr);
    else
        QuarnPKISetCertChooserHook(&CertChooserHook, &hookOwner);
    QuarnPKISetCertViewerHook(&CertViewerHook, &hookOwner);
    // A token that refused a PIN, and how many tries it has left, is told in the window too.
    QuarnPKISetMessageHook(&MessageHook, &hookOwner);
}

void RemovePkiHooks()
{
    QuarnPKISetPinPromptHook(nullptr, nullptr);
    QuarnPKISetCertChooserHook(nullptr, nullptr);
    QuarnPKISetCertViewerHook(nullptr, nullptr);
    QuarnPKISetMessageHook(nullptr, nullptr);
    hookOwner.window = nullptr;
}
