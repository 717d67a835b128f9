#include "Overlook/DisplayInformationWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace overlook {

QString displayInformationText(const std::vector<LocalDisplay>& displays) {
    QString text = QStringLiteral("Display Information\n");
    for (const LocalDisplay& d : displays)
        text += QStringLiteral("\n") + QString::fromStdString(d.description());
    return text;
}

DisplayInformationWindow::DisplayInformationWindow() : QWidget(nullptr, Qt::Window) {
    setWindowTitle("Display Information");
    auto* layout = new QVBoxLayout(this);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(text_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* copy = buttons->addButton("Copy", QDialogButtonBox::ActionRole);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(text()); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    layout->addWidget(buttons);
    resize(420, 320);
}

void DisplayInformationWindow::present(const std::vector<LocalDisplay>& displays) {
    text_->setPlainText(displayInformationText(displays));
    if (!isVisible())
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

QString DisplayInformationWindow::text() const { return text_->toPlainText(); }

} // namespace overlook
