// The titled frame around each pane of the main window: a caption band of 32 pixels with the
// bold title, a dotted line under it, a 1-pixel border, and one client widget filling the rest.
#pragma once

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>

class CContainWnd : public QWidget
{
    Q_OBJECT

public:
    static constexpr int CaptionHeight = 32;
    static const QColor BackgroundColour;
    static const QColor LineColour;

    explicit CContainWnd(const QString& title, QWidget* parent = nullptr);

    void SetTitle(const QString& title);
    const QString& Title() const { return title; }
    // The pane's own control (tree, list, output list box); the frame becomes its parent.
    void SetClient(QWidget* client);
    QWidget* Client() const { return client; }
    // Where the client sits: the frame shrunk by 1 on the left, right and bottom, by 33 at the top.
    QRect ClientRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString title;
    QFont titleFont;
    QPointer<QWidget> client;
};
