// The verification report of one bid file: the operator picks a file (or gets the one selected in
// the list), presses verify and sees the file's verification code, whether its format and its
// signature hold, and who signed it. The code can be copied for comparison with a bidder's receipt
// and the signer's certificate can be shown. Nothing is imported or decrypted.
#pragma once

#include "verify/CBidFileReport.h"

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

class CSingleBidFileVerifyDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CSingleBidFileVerifyDlg(QWidget* parent = nullptr);

    // Stores the path and shows it.
    void SetPath(const std::wstring& path);

    // The buttons' actions.
    void SelectFile();
    void CopyCode();
    void ShowCert();
    void Verify();

    QLineEdit* PathEdit() const { return pathEdit; }
    QLineEdit* CodeEdit() const { return codeEdit; }
    QLabel* BidderLabel() const { return bidderLabel; }
    QTreeWidget* ResultList() const { return resultList; }
    QPushButton* CopyButton() const { return copyButton; }
    QPushButton* CertButton() const { return certButton; }
    QPushButton* VerifyButton() const { return verifyButton; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowFields();

    CBidFileReport report;
    QLineEdit* pathEdit;
    QLineEdit* codeEdit;
    QLabel* bidderLabel;
    QTreeWidget* resultList;
    QPushButton* copyButton;
    QPushButton* certButton;
    QPushButton* verifyButton;
};
