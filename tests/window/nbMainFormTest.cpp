// The main window on Qt's offscreen platform: its controls and logo band, Start and Stop through
// the real buttons, start errors in the message box, and the log pane fed from many threads.
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <string>
#include <thread>
#include <vector>

#include "app/nbDemoBaseForm.h"
#include "app/nbMainForm.h"
#include "tests/common/nbTestLoopback.h"
#include "util/nbLimits.h"

namespace {

constexpr int kWaitMs = 30000;  // generous: a loaded machine is slow, a hang still ends

QStringList LogLines(const nb::TMainForm& AForm) {
    return AForm.memLog()->toPlainText().split('\n');
}

// Clicks the button and answers the critical message box that it may open; the box's text, or
// an empty text when no box came up.
QString ClickAndReadError(QPushButton* AButton) {
    QString text;
    QTimer watcher;
    watcher.setInterval(20);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->icon() == QMessageBox::Critical ? box->text()
                                                        : "(not critical) " + box->text();
            box->accept();
        }
    });
    watcher.start();
    QTest::mouseClick(AButton, Qt::LeftButton);
    watcher.stop();
    return text;
}

}  // namespace

class TMainFormTest : public QObject {
    Q_OBJECT

public slots:
    void OpenUrl(const QUrl& AUrl) { openedUrls_ << AUrl.toString(); }

private slots:
    void init() {
        form_ = std::make_unique<nb::TMainForm>();
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QVERIFY(root_.isValid());
    }
    void cleanup() { form_.reset(); }

    void storedValuesAndLogoBand() {
        QCOMPARE(form_->windowTitle(), QString("Norbit FTP Server SSL / TLS"));
        QCOMPARE(form_->edtPort()->text(), QString("990"));
        QCOMPARE(form_->edtRootDir()->text(), QDir::homePath() + "/NorbitFtpServer/");
        QStringList items;
        for (int i = 0; i < form_->cbUseTls()->count(); ++i)
            items << form_->cbUseTls()->itemText(i);
        QCOMPARE(items, QStringList({"None", "Implicit", "Allow Explicit", "Require Explicit"}));
        QCOMPARE(form_->cbUseTls()->currentText(), QString("Implicit"));
        QCOMPARE(Button("btnStart")->text(), QString("Start"));
        QCOMPARE(Button("btnStop")->text(), QString("Stop"));
        QVERIFY(form_->memLog()->isReadOnly());
        QCOMPARE(form_->memLog()->maximumBlockCount(), nb::kMaxLogPaneLines);
        QStringList labels;
        for (const auto* label : form_->findChildren<QLabel*>())
            if (!label->text().isEmpty())
                labels << label->text();
        for (const char* text :
             {"Port", "Root Dir", "SSL / TLS Mode", "Log",
              "This is a sample FTP SSL / TLS server. You can use any SSL-enabled FTP client (such "
              "as TnbFTP or SurgeFTP client to connect to this server.",
              "This server uses self-signed server certificate to establish the SSL connection. In "
              "real application you will need to request a certificate from trusted issuer or use "
              "your own self-signed certificate."})
            QVERIFY2(labels.contains(text), text);

        // Each of the three images has a hand cursor and opens the support page.
        QDesktopServices::setUrlHandler("https", this, "OpenUrl");
        const auto* band = form_->findChild<QWidget*>("pnlLogo");
        QCOMPARE(band->height(), 78);
        for (const char* name : {"imgLogoLeft", "imgLogoMiddle", "imgLogoRight"}) {
            auto* image = form_->findChild<QLabel*>(name);
            QVERIFY2(image, name);
            QCOMPARE(image->cursor().shape(), Qt::PointingHandCursor);
            QTest::mouseClick(image, Qt::LeftButton);
        }
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(form_->findChild<QLabel*>("imgLogoLeft")->width(), 406);
        QCOMPARE(form_->findChild<QLabel*>("imgLogoRight")->width(), 209);
        QCOMPARE(openedUrls_, QStringList(3, nb::kSupportUrl));
    }

    // Stop with clients connected: the client that left is logged, those that Stop closes are
    // not, and Stop comes back. The server starts again afterwards.
    void startAndStopWithClientsConnected() {
        const QString root = root_.path() + "/a/b/";
        const int port = nb::test::FreePort();
        StartPlain(port, root);
        QVERIFY(QDir(root).exists());
        QCOMPARE(form_->Controller().Server().RootDir(), (root_.path() + "/a/b").toStdString());

        nb::test::TLoopbackClient leaving, staying[3];
        QVERIFY(leaving.Connect(port));
        QVERIFY(leaving.ReceiveUntil("\r\n"));
        QVERIFY(leaving.Send("QUIT\r\n"));
        QVERIFY(leaving.WaitClosed());
        for (auto& client : staying) {
            QVERIFY(client.Connect(port));
            QVERIFY(client.ReceiveUntil("\r\n"));
        }
        QVERIFY(staying[0].Send("USER NorbitTester\r\nPASS mivoraplexan\r\n"));
        QVERIFY(staying[0].ReceiveUntil("230"));
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(*form_).count("Accept Connection. Host: 127.0.0.1"), 4,
                                  kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(LogLines(*form_).contains("Close Connection. Host: 127.0.0.1"),
                                 kWaitMs);

        QCOMPARE(ClickAndReadError(Button("btnStop")), QString());
        QVERIFY(!form_->Controller().Server().Active());
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(*form_).last(), QString("Stop Server"), kWaitMs);
        const QStringList log = LogLines(*form_);
        QCOMPARE(log.mid(0, 4), QStringList({"==================", "Start Server",
                                             "Accept Connection. Host: 127.0.0.1",
                                             "Reply: 220 Norbit Internet Suite FTP service"}));
        QVERIFY(log.contains("Command: USER NorbitTester"));
        QVERIFY(log.contains("Command: PASS <password>"));
        QVERIFY(!log.join('\n').contains("mivoraplexan"));
        QCOMPARE(log.count("Close Connection. Host: 127.0.0.1"), 1);
        for (auto& client : staying)
            QVERIFY(client.WaitClosed());

        // Started again, then the window goes with a client connected: the server stops with it.
        StartPlain(port, root);
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(*form_).count("Start Server"), 2, kWaitMs);
        nb::test::TLoopbackClient last;
        QVERIFY(last.Connect(port));
        QVERIFY(last.ReceiveUntil("\r\n"));
        form_.reset();
        QVERIFY(last.WaitClosed());
    }

    void startErrorsAreShownAndTheWindowStaysUsable_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("startFirst");
        QTest::addColumn<QString>("message");
        QTest::addColumn<nb::TnbServerTlsMode>("useTls");
        // The mode is set before the port is read: UseTLS has changed although nothing starts.
        QTest::newRow("port text that is no integer")
            << 2 << "abc" << false << "'abc' is not a valid integer value"
            << nb::TnbServerTlsMode::stExplicitAllow;
        QTest::newRow("start twice")
            << 0 << "" << true << "The server is already started" << nb::TnbServerTlsMode::stNone;
    }
    void startErrorsAreShownAndTheWindowStaysUsable() {
        QFETCH(int, mode);
        QFETCH(QString, port);
        QFETCH(bool, startFirst);
        QFETCH(QString, message);
        QFETCH(nb::TnbServerTlsMode, useTls);
        const int freePort = nb::test::FreePort();
        if (startFirst)
            StartPlain(freePort, root_.path());
        form_->cbUseTls()->setCurrentIndex(mode);
        form_->edtPort()->setText(port.isEmpty() ? QString::number(freePort) : port);
        form_->edtRootDir()->setText(root_.path());

        QCOMPARE(ClickAndReadError(Button("btnStart")), message);
        QCOMPARE(form_->Controller().Server().Active(), startFirst);
        QCOMPARE(form_->Controller().Server().UseTLS(), useTls);
        // Usable: no box is left open, and the buttons still work.
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(ClickAndReadError(Button("btnStop")), QString());
        QVERIFY(!form_->Controller().Server().Active());
    }

    // Implicit TLS starts; the first TLS client makes the one certificate, later ones (also
    // after Stop and Start) get the same; Stop with TLS clients connected neither hangs nor
    // writes "Close Connection" lines.
    void implicitTlsMakesOneCertificateAndStopsWithClientsConnected() {
        const int port = nb::test::FreePort();
        form_->cbUseTls()->setCurrentIndex(1);
        form_->edtPort()->setText(QString::number(port));
        form_->edtRootDir()->setText(root_.path());
        QCOMPARE(ClickAndReadError(Button("btnStart")), QString());
        const auto& list = form_->Controller().CertificateStore().CertificateList();
        QCOMPARE(int(list.Count()), 0);  // nothing is made before a client asks
        std::vector<std::unique_ptr<QProcess>> clients;
        auto connect = [&] {
            auto client = std::make_unique<QProcess>();
            client->start("openssl", {"s_client", "-quiet", "-connect",
                                      QString("127.0.0.1:%1").arg(port)});
            QVERIFY(client->waitForStarted(kWaitMs));
            QByteArray greeting;
            QTRY_VERIFY_WITH_TIMEOUT((greeting += client->readAllStandardOutput()).contains("220 "),
                                     kWaitMs);
            clients.push_back(std::move(client));
        };
        connect();
        QCOMPARE(int(list.Count()), 1);
        const auto first = list.Items(0);
        connect();
        QCOMPARE(ClickAndReadError(Button("btnStop")), QString());
        QVERIFY(!LogLines(*form_).join('\n').contains("Close Connection"));
        for (auto& client : clients)
            QVERIFY(client->waitForFinished(kWaitMs));
        QCOMPARE(ClickAndReadError(Button("btnStart")), QString());
        connect();
        QCOMPARE(int(list.Count()), 1);
        QCOMPARE(list.Items(0), first);
        QCOMPARE(ClickAndReadError(Button("btnStop")), QString());
        QVERIFY(clients.back()->waitForFinished(kWaitMs));
    }

    // Lines from many threads arrive whole and in each thread's order, while the window's thread
    // is blocked (as in Stop): the appender never waits for it. The pane keeps the last lines.
    void logLinesKeepTheirOrderFromManyThreads() {
        constexpr int kThreads = 8;
        constexpr int kLinesEach = 2000;  // 16,000 lines: more than the pane keeps
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([this, t] {
                for (int n = 0; n < kLinesEach; n += 2)
                    form_->AppendLog("t" + std::to_string(t) + " " + std::to_string(n) + "\r\nt" +
                                     std::to_string(t) + " " + std::to_string(n + 1));
            });
        for (auto& thread : threads)
            thread.join();

        // Every line was queued before the window's thread ran again, so one flush shows them.
        QTRY_VERIFY_WITH_TIMEOUT(LogLines(*form_).last().endsWith(QString::number(kLinesEach - 1)),
                                 kWaitMs);
        const QStringList log = LogLines(*form_);
        QCOMPARE(log.size(), nb::kMaxLogPaneLines);
        // Dropping only the oldest lines leaves of each thread a run that ends with its last.
        std::vector<int> next(kThreads, -1);
        for (const QString& line : log) {
            const QStringList parts = line.split(' ');
            QCOMPARE(parts.size(), 2);
            const int t = parts[0].mid(1).toInt();
            const int n = parts[1].toInt();
            if (next[t] >= 0)
                QCOMPARE(n, next[t]);
            next[t] = n + 1;
        }
        for (int t = 0; t < kThreads; ++t)
            QVERIFY(next[t] == -1 || next[t] == kLinesEach);
    }

private:
    QPushButton* Button(const char* AName) const { return form_->findChild<QPushButton*>(AName); }

    void StartPlain(int APort, const QString& ARoot) {
        form_->cbUseTls()->setCurrentIndex(0);
        form_->edtPort()->setText(QString::number(APort));
        form_->edtRootDir()->setText(ARoot);
        QCOMPARE(ClickAndReadError(Button("btnStart")), QString());
        QVERIFY(form_->Controller().Server().Active());
    }

    QTemporaryDir root_;
    std::unique_ptr<nb::TMainForm> form_;
    QStringList openedUrls_;
};

QTEST_MAIN(TMainFormTest)
#include "nbMainFormTest.moc"
