#include "Overlook/DisplayInformationWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace overlook {

namespace {

QString number(double value) {
    // Whole pixels read as "1920", not "1920.0".
    return value == std::floor(value) ? QString::number(static_cast<long long>(value)) : QString::number(value, 'g', 6);
}

const QScreen* toolkitScreen(const QString& name) {
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->name() == name)
            return screen;
    return nullptr;
}

} // namespace

QString displayInformationText(const std::vector<LocalDisplay>& displays) {
    QString text;
    for (const LocalDisplay& d : displays) {
        const QString name = QString::fromStdString(d.screenName());
        if (!text.isEmpty())
            text += '\n';
        text += name + (d.isMain ? QStringLiteral(" (main display)") : QString()) + '\n';
        const auto line = [&](const char* field, const QString& value) {
            text += QStringLiteral("  %1 %2\n").arg(QString::fromLatin1(field) + ':', -15).arg(value);
        };
        line("Resolution", number(d.bounds.width) + QStringLiteral(" \u00d7 ") + number(d.bounds.height));
        line("Position", number(d.bounds.x) + QStringLiteral(", ") + number(d.bounds.y));
        if (const QScreen* screen = toolkitScreen(name)) {
            line("Scale", number(screen->devicePixelRatio()) + QStringLiteral("\u00d7"));
            if (screen->refreshRate() > 0)
                line("Refresh", QString::number(screen->refreshRate(), 'f', 2).remove(QRegularExpression("\\.?0+$")) +
                                    QStringLiteral(" Hz"));
        }
        if (d.size.width > 0 && d.size.height > 0)
            line("Physical size", number(d.size.width) + QStringLiteral(" \u00d7 ") +
                                      number(d.size.height) + QStringLiteral(" mm"));
        if (d.rotation != 0)
            line("Rotation", number(d.rotation) + QStringLiteral("\u00b0"));
    }
    return text.isEmpty() ? QStringLiteral("No displays are attached.\n") : text;
}

DisplayInformationWindow::DisplayInformationWindow() : QWidget(nullptr, Qt::Dialog) {
    setWindowTitle("Display Information");
    auto* layout = new QVBoxLayout(this);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Fixed width, so that the values line up under each other.
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(text_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* copy = buttons->addButton("Copy", QDialogButtonBox::ActionRole);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(text()); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    layout->addWidget(buttons);
}

void DisplayInformationWindow::present(const std::vector<LocalDisplay>& displays) {
    const QString text = displayInformationText(displays);
    text_->setPlainText(text);
    // As large as its text and no larger: a tiling compositor (sway) floats a window
    // of fixed size instead of giving a few lines the whole screen.
    const QFontMetrics metrics(text_->font());
    int width = 0;
    for (const QString& line : text.split('\n'))
        width = std::max(width, metrics.horizontalAdvance(line));
    const int lines = std::min<int>(text.count('\n') + 1, 30);
    text_->setFixedSize(width + 2 * text_->frameWidth() + 24, lines * metrics.lineSpacing() + 2 * text_->frameWidth() + 12);
    setFixedSize(sizeHint());
    if (!isVisible())
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

QString DisplayInformationWindow::text() const { return text_->toPlainText(); }

} // namespace overlook
