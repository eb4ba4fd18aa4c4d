#pragma once
// The about dialog: the product picture, the product title in a font of its own, three
// link buttons (company web page, support mail, sales mail) and OK. It can be dragged by
// any point that is not a control.
#include <QDialog>
#include <QPoint>
#include <QUrl>

namespace dravonel {

class CQuorvaneAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CQuorvaneAboutDlg(QWidget* parent = nullptr);

    // The addresses behind the link buttons (set at build time).
    static QUrl companyWebsite();
    static QUrl supportMail();
    static QUrl salesMail();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPoint dragOffset_;
    bool dragging_ = false;
};

}  // namespace dravonel
