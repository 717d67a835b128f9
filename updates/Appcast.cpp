#include "updates/Appcast.h"

#include <QXmlStreamReader>

namespace overlook::updates {

namespace {

// The leading number of a version part and what follows it.
struct VersionPart {
    qulonglong number = 0;
    bool hasNumber = false;
    QString rest;
};

VersionPart splitPart(const QString& part) {
    VersionPart p;
    qsizetype i = 0;
    while (i < part.size() && part[i].isDigit())
        ++i;
    if (i > 0) {
        p.hasNumber = true;
        // Digits beyond what fits still order correctly as text of equal length.
        bool ok = false;
        p.number = part.left(i).toULongLong(&ok);
        if (!ok)
            p.number = ~0ull;
    }
    p.rest = part.mid(i);
    return p;
}

} // namespace

int compareVersions(const QString& a, const QString& b) {
    const QStringList as = a.trimmed().split(QLatin1Char('.'));
    const QStringList bs = b.trimmed().split(QLatin1Char('.'));
    const qsizetype count = std::max(as.size(), bs.size());
    for (qsizetype i = 0; i < count; ++i) {
        const VersionPart x = splitPart(i < as.size() ? as[i] : QStringLiteral("0"));
        const VersionPart y = splitPart(i < bs.size() ? bs[i] : QStringLiteral("0"));
        if (x.number != y.number)
            return x.number < y.number ? -1 : 1;
        if (x.rest == y.rest)
            continue;
        // "3b1" is a pre-release of "3".
        if (x.rest.isEmpty())
            return 1;
        if (y.rest.isEmpty())
            return -1;
        return x.rest < y.rest ? -1 : 1;
    }
    return 0;
}

std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items) {
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : items)
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = item;
    return newest;
}

ParsedAppcast parseAppcast(const QByteArray& document) {
    ParsedAppcast parsed;
    if (document.trimmed().isEmpty()) {
        parsed.error = QStringLiteral("The update feed is empty.");
        return parsed;
    }
    QXmlStreamReader xml(document);
    bool sawRss = false;
    std::optional<AppcastItem> item;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (!sawRss) {
                if (name != QLatin1String("rss")) {
                    parsed.error = QStringLiteral("The update feed is not an RSS document (it starts with <%1>).")
                                       .arg(name.toString());
                    return parsed;
                }
                sawRss = true;
            } else if (name == QLatin1String("item")) {
                item = AppcastItem{};
            } else if (item) {
                if (name == QLatin1String("enclosure")) {
                    const auto attributes = xml.attributes();
                    for (const auto& attribute : attributes) {
                        const auto attr = attribute.name();
                        if (attr == QLatin1String("url")) {
                            item->enclosureURL = QUrl(attribute.value().toString().trimmed());
                            item->downloadLink = item->enclosureURL;
                        } else if (attr == QLatin1String("length")) {
                            bool ok = false;
                            const qint64 length = attribute.value().toString().trimmed().toLongLong(&ok);
                            item->enclosureLength = ok && length > 0 ? length : 0;
                        } else if (attr == QLatin1String("edSignature")) {
                            item->edSignature = attribute.value().toString().trimmed().toLatin1();
                        }
                        if (attr == QLatin1String("version") && item->version.isEmpty())
                            item->version = attribute.value().toString().trimmed();
                        else if (attr == QLatin1String("shortVersionString") && item->displayVersion.isEmpty())
                            item->displayVersion = attribute.value().toString().trimmed();
                    }
                } else if (name == QLatin1String("title")) {
                    item->title = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                } else if (name == QLatin1String("version")) {
                    item->version = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                } else if (name == QLatin1String("shortVersionString")) {
                    item->displayVersion = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                } else if (name == QLatin1String("releaseNotesLink")) {
                    item->releaseNotesLink = QUrl(xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed());
                } else if (name == QLatin1String("description")) {
                    item->releaseNotes = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                } else if (name == QLatin1String("link")) {
                    const QUrl link(xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed());
                    if (item->downloadLink.isEmpty())
                        item->downloadLink = link;
                } else if (name == QLatin1String("pubDate")) {
                    item->publicationDate = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                }
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("item") && item) {
            if (!item->version.isEmpty()) {
                if (item->displayVersion.isEmpty())
                    item->displayVersion = item->version;
                parsed.items.push_back(std::move(*item));
            }
            item.reset();
        }
    }
    if (xml.hasError()) {
        parsed.items.clear();
        parsed.error = QStringLiteral("The update feed is not valid XML (line %1, column %2: %3).")
                           .arg(xml.lineNumber())
                           .arg(xml.columnNumber())
                           .arg(xml.errorString());
        return parsed;
    }
    if (!sawRss)
        parsed.error = QStringLiteral("The update feed is empty.");
    else if (parsed.items.empty())
        parsed.error = QStringLiteral("The update feed lists no release with a version.");
    return parsed;
}

} // namespace overlook::updates
