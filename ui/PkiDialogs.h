// What the window adds to the PKI library: the PIN dialog, the certificate chooser and the
// certificate viewer, and the hooks through which the library reaches them from any thread.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

class QLabel;
class QLineEdit;
class QTreeWidget;

// A certificate's fields as the dialogs show them.
struct CCertFields
{
    QString commonName;
    QString subject;
    QString issuer;
    QString notBefore; // local time, "yyyy-MM-dd HH:mm:ss"
    QString notAfter;
    QString serial;
    QString key; // "RSA 2048", "SM2 256", "EC P-256 256"
    QString usage; // the key-usage bits by name, or empty without the extension
    QString fingerprint; // SHA-256, hex pairs separated by ':'
};
CCertFields ReadCertFields(void* cert);

// Asks for the PIN of one token, masked.
class CPinDialog : public QDialog
{
    Q_OBJECT

public:
    // attemptsLeft: 1 when the next wrong PIN locks the token, more when the token says how many
    // remain, -1 when it does not say.
    CPinDialog(const QString& tokenLabel, int attemptsLeft, int maxLength, QWidget* parent = nullptr);
    const QString& TokenLabel() const { return tokenLabel; }
    QLineEdit* PinEdit() const { return pinEdit; }
    QLabel* AttemptsLabel() const { return attemptsLabel; }

private:
    QString tokenLabel;
    QLineEdit* pinEdit;
    QLabel* attemptsLabel;
};

// Lets the operator choose one of several certificates; View shows the highlighted one.
class CCertChooserDlg : public QDialog
{
    Q_OBJECT

public:
    CCertChooserDlg(void* const* certs, int count, QWidget* parent = nullptr);
    // The chosen row, or -1.
    int Chosen() const;
    QTreeWidget* List() const { return list; }

private:
    QTreeWidget* list;
    void* const* certs;
};

// Shows one certificate's fields.
class CCertViewerDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CCertViewerDlg(void* cert, QWidget* parent = nullptr);
    // The shown value of a field by its caption's key in the language catalogue, for checks.
    QString FieldText(const char* key) const;

private:
    QWidget* form;
};

// Names the module and trust anchors to the PKI library and registers the hooks; dialogs are
// owned by `owner` (the main window). The owner may go away before the hooks are removed: the
// dialogs then have no owner. A certificate named by KELVANE_OPERATOR_CERT is taken by the
// headless chooser, as on a workstation without a window, so that a window started by a script
// (the screenshots, a kiosk) signs with the certificate it was told.
void InstallPkiHooks(QWidget* owner);
// Gives the library back its defaults: no PIN, no choice.
void RemovePkiHooks();

// The hooks themselves, as the library calls them (exposed for tests).
int PinPromptHook(void* userData, const char* tokenLabel, int attemptsLeft, char* pin, int pinCapacity);
int CertChooserHook(void* userData, void* const* certs, int count, int* chosen);
int CertViewerHook(void* userData, void* owner, void* cert);
// Shows what the PKI library tells the operator (a refused PIN, the tries left) in a warning box.
void MessageHook(void* userData, const char* message);
