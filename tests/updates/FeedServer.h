#pragma once
// A small HTTP server on 127.0.0.1 inside the test process: it answers each path
// with the status and body it was given, or not at all, and remembers what was asked.

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <map>
#include <vector>

namespace overlook::test {

class FeedServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        bool hang = false; // read the request, never answer
        bool noLength = false; // no Content-Length: the body ends when the connection does
        QByteArray location{}; // a Location header (for redirects)
        bool stall = false; // sends the length and half the body, then nothing more
    };

    FeedServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        });
    }

    void serve(const QString& path, Response response) { routes_[path] = std::move(response); }
    QString url(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
    }
    // Path and query of every request, in order.
    const std::vector<QUrl>& requests() const { return requests_; }

private:
    void read(QTcpSocket* socket) {
        QByteArray& pending = buffers_[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
        const QUrl target(QString::fromLatin1(requestLine.value(1)));
        requests_.push_back(target);
        buffers_.erase(socket);
        const auto route = routes_.find(target.path());
        const Response response = route == routes_.end() ? Response{404, "not here"} : route->second;
        if (response.hang)
            return;
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + (response.status == 200 ? " OK" : " Failed") +
                            "\r\nContent-Type: application/rss+xml\r\n";
        if (!response.noLength)
            answer += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        if (!response.location.isEmpty())
            answer += "Location: " + response.location + "\r\n";
        answer += "Connection: close\r\n\r\n";
        if (response.stall) {
            socket->write(answer + response.body.left(response.body.size() / 2));
            return;
        }
        answer += response.body;
        socket->write(answer);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<QString, Response> routes_;
    std::map<QTcpSocket*, QByteArray> buffers_;
    std::vector<QUrl> requests_;
};

// An appcast feed with one item per version.
inline QByteArray appcast(std::initializer_list<const char*> versions) {
    QByteArray items;
    for (const char* v : versions)
        items += QByteArray("<item><title>Overlook ") + v + "</title><sparkle:version>" + v +
                 "</sparkle:version><description><![CDATA[<p>Notes for " + v +
                 "</p>]]></description><enclosure url=\"https://downloads.example/overlook-" + v +
                 ".tar.gz\" length=\"10\" type=\"application/gzip\"/></item>";
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:sparkle=\"urn:test\"><channel><title>Overlook</title>" +
           items + "</channel></rss>";
}

} // namespace overlook::test
