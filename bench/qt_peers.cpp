#include "qt_peers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QWebSocket>
#include <stdexcept>

#include "null_host.h"

namespace quarvo_bench {
namespace {

// The work the client's stdout handler does on the null host, written the Qt way: the source
// filter, the content as text, one console line.
void handle_stdout(NullHost& host, const QJsonObject& m) {
    const QJsonValue source = m.value("source");
    if (host._console_source_filter() == "ide_only" && source.toString() != "ide") return;
    const QString content = m.value("content").toString();
    if (content.isEmpty()) return;
    const QByteArray utf8 = content.toUtf8();
    host.log_to_console(std::string_view(utf8.constData(), size_t(utf8.size())), "#4daafc",
                        OutputLevel::SIMPLE, true);
}

void handle_log_line(NullHost& host, const QJsonObject& m) {
    const QByteArray utf8 = m.value("content").toString().toUtf8();
    host.log_to_console(std::string_view(utf8.constData(), size_t(utf8.size())), std::nullopt,
                        OutputLevel::SIMPLE, std::nullopt);
}

void handle_all_modules(NullHost& host, const QJsonObject& m) {
    // As the client's handler: the module map into the host's cache.
    const QJsonObject modules = m.value("modules").toObject();
    JsonObject cache;
    for (auto it = modules.begin(); it != modules.end(); ++it)
        cache[it.key().toStdString()] = it.value().toString().toStdString();
    host.module_cache[m.value("workbook_id").toString().toStdString()] = std::move(cache);
}

}  // namespace

// The socket's side: lives on the worker thread (threaded) or the GUI thread.
class PeerSocket final : public QObject {
  public:
    PeerSocket(NullHost& host, QObject* gui, bool threaded)
        : host_(host), gui_(gui), threaded_(threaded) {
        handlers_.insert("stdout", handle_stdout);
        handlers_.insert("log_to_console", handle_log_line);
        handlers_.insert("all_modules", handle_all_modules);
    }

    void open(const QUrl& url) {
        socket_ = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
        socket_->setMaxAllowedIncomingMessageSize(64 << 20);
        socket_->setMaxAllowedIncomingFrameSize(64 << 20);
        connect(socket_, &QWebSocket::connected, this, [this] { connected_.storeRelease(1); });
        connect(socket_, &QWebSocket::textMessageReceived, this, &PeerSocket::received);
        socket_->open(url);
    }
    void send(const QString& text) { socket_->sendTextMessage(text); }
    bool is_connected() const { return connected_.loadAcquire() != 0; }

  private:
    void received(const QString& text) {
        QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (!threaded_) return dispatch(message);
        // One queued call per message, as QMetaObject::invokeMethod does it.
        QMetaObject::invokeMethod(
            gui_, [this, message = std::move(message)] { dispatch(message); },
            Qt::QueuedConnection);
    }
    void dispatch(const QJsonObject& message) {
        const auto it = handlers_.constFind(message.value("type").toString());
        if (it != handlers_.constEnd()) (*it)(host_, message);
    }

    NullHost& host_;
    QObject* gui_;
    const bool threaded_;
    QHash<QString, void (*)(NullHost&, const QJsonObject&)> handlers_;
    QWebSocket* socket_ = nullptr;  // a child of this object
    QAtomicInt connected_{0};
};

struct QtPeer::Impl {
    QObject gui;  // the GUI thread's receiver of queued calls
    QThread thread;
    std::unique_ptr<PeerSocket> socket;
};

QtPeer::QtPeer(uint16_t port, bool threaded, NullHost& host) : impl_(std::make_unique<Impl>()) {
    impl_->socket = std::make_unique<PeerSocket>(host, &impl_->gui, threaded);
    const QUrl url(QString("ws://127.0.0.1:%1/ws/ide/main_ide").arg(port));
    if (threaded) {
        impl_->socket->moveToThread(&impl_->thread);
        impl_->thread.start();
        QMetaObject::invokeMethod(
            impl_->socket.get(), [this, url] { impl_->socket->open(url); }, Qt::QueuedConnection);
    } else {
        impl_->socket->open(url);
    }
    QElapsedTimer waited;
    waited.start();
    while (!impl_->socket->is_connected() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!impl_->socket->is_connected()) throw std::runtime_error("the Qt peer did not connect");
}

QtPeer::~QtPeer() {
    if (impl_->thread.isRunning()) {
        // The socket goes on its own thread, then the thread.
        QMetaObject::invokeMethod(
            impl_->socket.get(), [this] { impl_->socket.reset(); }, Qt::BlockingQueuedConnection);
        impl_->thread.quit();
        impl_->thread.wait();
    }
}

void QtPeer::send(const std::string& text) {
    const QString message = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        impl_->socket.get(), [this, message] { impl_->socket->send(message); }, Qt::AutoConnection);
}

}  // namespace quarvo_bench
