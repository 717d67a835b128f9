// A window over the whole first screen that changes its colour HZ times a second, for
// the portal bench on desktops whose monitors nothing else repaints (GNOME's mutter).
//
//   colour_window HZ
#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <cstdlib>

namespace {
class ColourWindow final : public QWidget {
public:
    explicit ColourWindow(int hz) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            ++step_;
            update();
        });
        timer->start(1000 / std::max(1, hz));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        static const QColor colours[] = {QColor(0x20, 0x40, 0x80), QColor(0x80, 0x40, 0x20), QColor(0x20, 0x80, 0x40),
                                         QColor(0x60, 0x20, 0x80)};
        QPainter(this).fillRect(rect(), colours[step_ % 4]);
    }

private:
    int step_ = 0;
};
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ColourWindow window(argc > 1 ? std::atoi(argv[1]) : 20);
    window.showFullScreen();
    return app.exec();
}
