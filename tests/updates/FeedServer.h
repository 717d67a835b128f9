#pragma once
// An HTTP server on 127.0.0.1 in the test process that records what was asked.

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <map>
#include <vector>

namespace overlook::test {

class FeedServer {
public:
    enum Mode {
        complete,
        hang,     // reads the request, never answers
        noLength, // no Content-Length: the body ends when the connection does
        stall,    // sends the length and half the body, then nothing more
    };
    struct Response {
        int status = 200;
        QByteArray body;
        Mode mode = complete;
        QByteArray location{}; // a Location header (for redirects)
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
    const std::vector<QUrl>& requests() const { return requests_; } // path and query of each, in order

private:
    void read(QTcpSocket* socket) {
        QByteArray& pending = buffers_[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        const QUrl target(QString::fromLatin1(pending.left(pending.indexOf("\r\n")).split(' ').value(1)));
        requests_.push_back(target);
        buffers_.erase(socket);
        const auto route = routes_.find(target.path());
        const Response r = route == routes_.end() ? Response{404, "not here"} : route->second;
        if (r.mode == hang)
            return;
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(r.status) + (r.status == 200 ? " OK" : " Failed") +
                            "\r\nContent-Type: application/rss+xml\r\nConnection: close\r\n";
        if (r.mode != noLength)
            answer += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
        if (!r.location.isEmpty())
            answer += "Location: " + r.location + "\r\n";
        socket->write(answer + "\r\n" + (r.mode == stall ? r.body.left(r.body.size() / 2) : r.body));
        if (r.mode != stall)
            socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<QString, Response> routes_;
    std::map<QTcpSocket*, QByteArray> buffers_;
    std::vector<QUrl> requests_;
};

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
