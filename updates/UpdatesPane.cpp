#include "updates/UpdatesPane.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QDesktopServices>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

namespace overlook::updates {

namespace {

// Texts are looked up by their English wording.
QString text(const char* english) { return QCoreApplication::translate("UpdatesPreferencesView", english); }

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* caption(const char* english, QWidget* parent) {
    auto* label = new QLabel(text(english), parent);
    label->setWordWrap(true);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    label->setFont(small);
    label->setForegroundRole(QPalette::PlaceholderText); // the secondary colour
    label->setIndent(22);                                 // under the switch's text, not its box
    return label;
}

const char* frequencyLabel(UpdateFrequency f) {
    switch (f) {
    case UpdateFrequency::hourly:
        return "Hourly";
    case UpdateFrequency::daily:
        return "Daily";
    case UpdateFrequency::weekly:
        return "Weekly";
    }
    return "";
}

// Sets a control from the store without writing the value back.
template <class Widget, class Apply>
void quietly(Widget* w, Apply apply) {
    const QSignalBlocker blocker(w);
    apply();
}

} // namespace

QString lastCheckText(const std::optional<QDateTime>& date, const QDateTime& now) {
    if (!date)
        return text("Never");
    const QDateTime local = date->toLocalTime();
    const QLocale locale;
    const QString time = locale.toString(local.time(), QLocale::ShortFormat);
    const qint64 days = local.date().daysTo(now.toLocalTime().date());
    if (days == 0)
        return text("Today at %1").arg(time);
    if (days == 1)
        return text("Yesterday at %1").arg(time);
    return text("%1 at %2").arg(locale.toString(local.date(), QLocale::LongFormat), time);
}

// ---- release notes ----------------------------------------------------------------------

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
        if (isOpenableLink(url))
            QDesktopServices::openUrl(url);
    });
}

bool ReleaseNotesBrowser::isOpenableLink(const QUrl& url) {
    return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
           !url.host().isEmpty();
}

QVariant ReleaseNotesBrowser::loadResource(int type, const QUrl& name) {
    // Every answer is a value: for a null one Qt's document loads the file or path
    // itself (a local picture, /dev/zero, a FIFO), and its image handler falls back to
    // reading the path when an image is null. So what is refused is a placeholder.
    const auto refused = [type] {
        if (type == QTextDocument::ImageResource)
            return QVariant(placeholderImage());
        if (type == QTextDocument::StyleSheetResource)
            return QVariant(QString());
        return QVariant(QByteArray());
    };
    // Only what the notes carry inline; no file, network or resource lookups.
    if (type != QTextDocument::ImageResource || name.scheme().compare(QLatin1String("data"), Qt::CaseInsensitive) != 0)
        return refused();
    const QByteArray data = name.toString(QUrl::FullyEncoded).toLatin1().mid(5);
    const qsizetype comma = data.indexOf(',');
    if (comma < 0 || data.size() - comma > kMaximumInlineImageBytes * 2)
        return refused();
    const QByteArray encoded = QByteArray::fromPercentEncoding(data.mid(comma + 1));
    const QByteArray bytes =
        data.left(comma).toLower().endsWith(";base64") ? QByteArray::fromBase64(encoded) : encoded;
    if (bytes.size() > kMaximumInlineImageBytes)
        return refused();
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaximumInlineImageSide || size.height() > kMaximumInlineImageSide)
        return refused();
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return refused();
    return image;
}

QImage ReleaseNotesBrowser::placeholderImage() {
    // Not null, or the document would read the path itself; one transparent pixel.
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

void ReleaseNotesBrowser::setNotes(const QString& html) {
    static const QRegularExpression active(
        QStringLiteral(R"(<\s*(script|style|iframe|frame|frameset|object|embed|applet|noscript|template)\b.*?)"
                       R"((<\s*/\s*\1\s*>|$))"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression stray(
        QStringLiteral(R"(<\s*/?\s*(script|style|iframe|frame|frameset|object|embed|applet|noscript|template|link|meta|base)\b[^>]*>)"),
        QRegularExpression::CaseInsensitiveOption);
    QString cleaned = html;
    cleaned.remove(active);
    cleaned.remove(stray);
    setHtml(cleaned);

    // Links that are not https stay as text.
    std::vector<std::pair<int, int>> unsafe;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (format.isAnchor() && !isOpenableLink(QUrl(format.anchorHref())))
                unsafe.emplace_back(fragment.position(), fragment.length());
        }
    for (const auto& [position, length] : unsafe) {
        QTextCursor cursor(document());
        cursor.setPosition(position);
        cursor.setPosition(position + length, QTextCursor::KeepAnchor);
        QTextCharFormat format = cursor.charFormat();
        format.setAnchor(false);
        format.clearProperty(QTextFormat::AnchorHref);
        format.setFontUnderline(false);
        format.clearForeground();
        cursor.setCharFormat(format);
    }
}

// ---- the check dialog ------------------------------------------------------------------

UpdateCheckDialog::UpdateCheckDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(text("Software Update"));
    auto* layout = new QVBoxLayout(this);
    headline_ = new QLabel(this);
    QFont bold = headline_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    headline_->setFont(bold);
    // The version comes from the feed: never read as markup.
    headline_->setTextFormat(Qt::PlainText);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    message_->setTextFormat(Qt::RichText);
    message_->setOpenExternalLinks(false);
    message_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    connect(message_, &QLabel::linkActivated, this, [](const QString& link) {
        const QUrl url(link);
        if (!refusedDownloadURL(url))
            QDesktopServices::openUrl(url);
    });
    notes_ = new ReleaseNotesBrowser(this);
    notes_->setMinimumSize(420, 200);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    skip_ = buttons->addButton(text("Skip This Version"), QDialogButtonBox::ActionRole);
    skip_->hide();
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    layout->addWidget(headline_);
    layout->addWidget(message_);
    layout->addWidget(notes_, 1);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

void UpdateCheckDialog::showChecking() {
    headline_->setText(text("Checking for updates…"));
    message_->clear();
    notes_->hide();
    skip_->hide();
    shownVersion_.clear();
    show();
    raise();
    activateWindow();
}

void UpdateCheckDialog::showResult(const UpdateCheckResult& result, const QString& runningVersion) {
    notes_->hide();
    skip_->hide();
    shownVersion_.clear();
    switch (result.kind) {
    case UpdateCheckResult::Kind::upToDate:
        headline_->setText(text("You're up to date!"));
        message_->setText(text("Version %1 is the newest version available.").arg(runningVersion.toHtmlEscaped()));
        break;
    case UpdateCheckResult::Kind::updateAvailable: {
        const AppcastItem& item = *result.item;
        headline_->setText(text("Version %1 is available").arg(item.displayVersion));
        QString message = text("You have version %1.").arg(runningVersion.toHtmlEscaped());
        // The package is offered only from where it may be downloaded.
        const QUrl package = item.enclosureURL.isEmpty() ? item.downloadLink : item.enclosureURL;
        if (!package.isEmpty()) {
            if (const auto refused = refusedDownloadURL(package))
                message += QStringLiteral("<br>") + refused->toHtmlEscaped();
            else
                message += QStringLiteral(" <a href=\"%1\">%2</a>")
                               .arg(package.toString(QUrl::FullyEncoded).toHtmlEscaped(), text("Download"));
        }
        if (ReleaseNotesBrowser::isOpenableLink(item.releaseNotesLink))
            message += QStringLiteral(" · <a href=\"%1\">%2</a>")
                           .arg(item.releaseNotesLink.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                text("Release notes"));
        message_->setText(message);
        if (!item.releaseNotes.isEmpty()) {
            // Shown as a document; nothing it names is fetched.
            notes_->setNotes(item.releaseNotes);
            notes_->show();
        }
        shownVersion_ = item.version;
        skip_->show();
        break;
    }
    case UpdateCheckResult::Kind::failed:
        headline_->setText(text("Update check failed"));
        message_->setText(result.error.toHtmlEscaped());
        break;
    }
    adjustSize();
}

// ---- the pane -----------------------------------------------------------------------------

UpdatesPreferencesView::UpdatesPreferencesView(Updater& updater, QWidget* parent)
    : QWidget(parent), updater_(updater) {
    setFixedWidth(600);
    auto* outer = new QVBoxLayout(this);
    auto* form = new QWidget(this);
    outer->addWidget(form, 0, Qt::AlignHCenter);
    auto* column = new QVBoxLayout(form);
    column->setContentsMargins(0, 0, 0, 0);

    // 1. Automatic checks, their frequency and the manual check.
    auto* checks = new QHBoxLayout;
    checkForUpdates_ = new QCheckBox(text("Check for Updates:"), form);
    updateFrequency_ = new QComboBox(form);
    updateFrequency_->setFixedWidth(100);
    for (UpdateFrequency f : kAllUpdateFrequencies)
        updateFrequency_->addItem(text(frequencyLabel(f)), rawValue(f));
    checkNow_ = new QPushButton(text("Check Now…"), form);
    checks->addWidget(checkForUpdates_);
    checks->addWidget(updateFrequency_);
    checks->addWidget(checkNow_);
    column->addLayout(checks);
    column->addWidget(divider(form));

    // 2. The three switches, each with what it means.
    includeBetas_ = new QCheckBox(text("Download beta releases"), form);
    column->addWidget(includeBetas_);
    std::vector<QLabel*> captions;
    column->addWidget(captions.emplace_back(caption("Test the latest versions before release. Hunt for bugs and provide feedback.", form)));
    automaticallyDownloads_ = new QCheckBox(text("Download updates automatically"), form);
    column->addWidget(automaticallyDownloads_);
    column->addWidget(captions.emplace_back(caption("Download new versions in the background when available.", form)));
    sendsSystemProfile_ = new QCheckBox(text("Send anonymous system information"), form);
    column->addWidget(sendsSystemProfile_);
    column->addWidget(captions.emplace_back(caption("Provide information about your computer, such as operating "
                                                    "system version, processor type, and language to help guide "
                                                    "development.",
                                                    form)));
    column->addWidget(divider(form));

    // 3. The last check.
    auto* last = new QHBoxLayout;
    last->addWidget(new QLabel(text("Last check for updates:"), form));
    lastCheck_ = new QLabel(form);
    last->addWidget(lastCheck_, 1);
    column->addLayout(last);
    outer->addStretch(1);

    // 300 wide unless the first row needs more in this font; the captions wrap to it
    // (a centred widget gets no height-for-width from its layout, so they are told).
    const int width = std::max(300, checks->sizeHint().width());
    form->setFixedWidth(width);
    for (QLabel* c : captions)
        c->setMinimumHeight(c->heightForWidth(width));

    connect(checkForUpdates_, &QCheckBox::toggled, this, [this](bool on) { updater_.setAutomaticallyChecksForUpdates(on); });
    connect(updateFrequency_, &QComboBox::activated, this,
            [this](int index) { updater_.setUpdateCheckInterval(updateFrequency_->itemData(index).toDouble()); });
    connect(includeBetas_, &QCheckBox::toggled, this,
            [this](bool on) { updater_.delegate()->setIncludeBetaReleases(on); });
    connect(automaticallyDownloads_, &QCheckBox::toggled, this,
            [this](bool on) { updater_.setAutomaticallyDownloadsUpdates(on); });
    connect(sendsSystemProfile_, &QCheckBox::toggled, this, [this](bool on) { updater_.setSendsSystemProfile(on); });
    connect(checkNow_, &QPushButton::clicked, this, [this] {
        dialog()->showChecking();
        updater_.checkForUpdates();
    });
    connect(&updater_, &Updater::checkFinished, this, [this](const UpdateCheckResult& result) {
        refresh();
        if (result.userInitiated && dialog_)
            dialog_->showResult(result, QString::fromStdString(updater_.delegate()->info().version));
    });
    connect(&updater_, &Updater::settingsChanged, this, [this] { refresh(); });
    refresh();
}

UpdateCheckDialog* UpdatesPreferencesView::dialog() {
    if (!dialog_) {
        dialog_ = new UpdateCheckDialog(this);
        dialog_->setWindowFlag(Qt::Window);
        connect(dialog_->skipButton(), &QPushButton::clicked, this, [this] {
            updater_.skipVersion(dialog_->shownVersion());
            dialog_->hide();
        });
    }
    return dialog_;
}

void UpdatesPreferencesView::showUpdate(const UpdateCheckResult& result) {
    dialog()->showResult(result, QString::fromStdString(updater_.delegate()->info().version));
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void UpdatesPreferencesView::refresh() {
    quietly(checkForUpdates_, [&] { checkForUpdates_->setChecked(updater_.automaticallyChecksForUpdates()); });
    quietly(updateFrequency_, [&] {
        // An interval that is none of the choices selects nothing.
        updateFrequency_->setCurrentIndex(updateFrequency_->findData(updater_.updateCheckInterval()));
    });
    quietly(includeBetas_, [&] { includeBetas_->setChecked(updater_.delegate()->includeBetaReleases()); });
    quietly(automaticallyDownloads_,
            [&] { automaticallyDownloads_->setChecked(updater_.automaticallyDownloadsUpdates()); });
    quietly(sendsSystemProfile_, [&] { sendsSystemProfile_->setChecked(updater_.sendsSystemProfile()); });
    lastCheck_->setText(lastCheckText(updater_.lastUpdateCheckDate()));
}

} // namespace overlook::updates
