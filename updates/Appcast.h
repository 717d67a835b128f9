#pragma once
// The update feed: an RSS document with one item per release, each naming its
// version and where to get it, in the appcast style:
//
//   <rss xmlns:sparkle="…" version="2.0">
//     <channel><item>
//       <title>Overlook 1.2</title>
//       <sparkle:version>1.2</sparkle:version>            (or an attribute of the enclosure)
//       <sparkle:shortVersionString>1.2</sparkle:shortVersionString>
//       <sparkle:releaseNotesLink>https://…/1.2.html</sparkle:releaseNotesLink>
//       <description><![CDATA[ release notes ]]></description>
//       <link>https://…/download</link>
//       <enclosure url="https://…/overlook-1.2.tar.gz" length="123" type="application/octet-stream"
//                  sparkle:edSignature="base64 Ed25519 signature of the file"/>
//     </item></channel>
//   </rss>
//
// Elements and attributes are matched by their local names, whatever prefix the
// feed gives them.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace overlook::updates {

struct AppcastItem {
    QString title;
    QString version;        // compared with the running version
    QString displayVersion; // shown to the user; the version when the feed has none
    QString releaseNotes;   // the description, HTML or plain text
    QUrl releaseNotesLink;
    QUrl downloadLink;      // the enclosure, else the item's link
    QString publicationDate;
    QUrl enclosureURL{};    // the package itself; empty when the item has no enclosure
    qint64 enclosureLength = 0; // bytes, as the feed gives it; 0 when absent or unusable
    QByteArray edSignature{}; // base64, as the feed gives it; empty when absent
};

struct ParsedAppcast {
    std::vector<AppcastItem> items; // in feed order; only items with a version
    QString error;                  // empty when the feed was read
    bool ok() const { return error.isEmpty(); }
};

ParsedAppcast parseAppcast(const QByteArray& document);

// Compares versions numerically part by part ("1.10" > "1.9", "2" == "2.0"). A part
// with letters after its number ("3b1") comes before the plain number ("3"), and
// letters compare as text. Negative, zero or positive like strcmp.
int compareVersions(const QString& a, const QString& b);

// The item with the highest version, if any.
std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items);

} // namespace overlook::updates
