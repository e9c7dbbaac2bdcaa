// Scanning through SANE's test back end, camera stills from a stand-in camera,
// page edits, and the scan and clipboard uploads into the reference server.
#include "capture/capturelogic.h"
#include "capture/scanpages.h"
#include "capture/twainuploadfrm.h"
#include "capture/twainxefrm.h"
#include "capture/uploaddragfilesfrm.h"
#include "net/robottcpclient.h"
#include "platform/clipboardfiles.h"
#include "recordingprompter.h"
#include "refserver.h"
#include "store.h"
#include "testenv.h"
#include "testlogin.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

namespace {

struct AnsweringPrompter : RecordingPrompter {
    bool answer = true;
    QStringList asked;
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        asked << text;
        return answer;
    }
};

// The reference server with the demo seed, and the demo user's session on it.
class Server : public RefServer
{
public:
    Server()
        : RefServer(Setup::serverTimeouts())
    {
        const TestLogin demo = logIn(port());
        conn = demo.conn;
        userId = demo.userId;
        folderId = sql(QStringLiteral("SELECT id FROM folders WHERE owner_id=? ORDER BY id"), {userId}).toLongLong();
    }
    // The stored body of the file of that name in the folder; empty when there is none.
    QByteArray body(const QString &name, qint64 folder, qint64 *keyOut = nullptr) const
    {
        const qint64 key = sql(QStringLiteral("SELECT key FROM files WHERE name=? AND folder_id=?"), {name, folder}).toLongLong();
        if (keyOut)
            *keyOut = key;
        return key > 0 ? currentBody(key) : QByteArray();
    }
    int fileCount(qint64 folder) const
    {
        return sql(QStringLiteral("SELECT COUNT(*) FROM files WHERE folder_id=?"), {folder}).toInt();
    }

    TServerConn conn;
    qint32 userId = 0;
    qint64 folderId = 0;
};

// A camera that shows what the test gives it.
class FakeCamera : public CameraSource
{
public:
    QStringList Devices() const override { return {QStringLiteral("Stand-in camera")}; }
    bool Start(const QString &device) override
    {
        running = device == Devices().first();
        return running;
    }
    bool IsRunning() const override { return running; }
    bool IsPaused() const override { return paused; }
    void Pause() override { paused = true; }
    void Resume() override { paused = false; }
    void Stop() override { running = paused = false; }
    QStringList Sizes() const override { return sizes; }
    void SetSize(int index) override { chosen = index; }
    QImage LatestFrame() const override { return frame; }
    void push(const QImage &image)
    {
        frame = image;
        Q_EMIT frameReady();
    }

    QStringList sizes{QStringLiteral("640*480"), QStringLiteral("1280*720"), QStringLiteral("1920*1080")};
    bool running = false, paused = false;
    int chosen = -1;
    QImage frame;
};

QImage filled(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(c);
    return img;
}

QStringList filesIn(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    return out;
}

} // namespace

class CaptureLogicTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void uploadNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("names");
        QTest::addRow("one page") << "invoice" << 1 << QStringList{"invoice.jpg"};
        QTest::addRow("three pages") << "invoice" << 3 << QStringList{"invoice_1.jpg", "invoice_2.jpg", "invoice_3.jpg"};
        QTest::addRow("four pages") << "invoice" << 4
                                    << QStringList{"invoice_01.jpg", "invoice_02.jpg", "invoice_03.jpg", "invoice_04.jpg"};
        QTest::addRow("typed with the extension") << "Scan.JPG" << 2 << QStringList{"Scan_1.jpg", "Scan_2.jpg"};
        QTest::addRow("name reaching another folder") << "../../x/doc" << 1 << QStringList{".._.._x_doc.jpg"};
    }
    void uploadNames()
    {
        QFETCH(QString, typed);
        QFETCH(int, count);
        QStringList names;
        for (int i = 0; i < count; ++i)
            names << TScanUploadController::PageUploadName(TScanUploadController::UploadBaseName(typed), i, count);
        QTEST(names, "names");
    }
    void fortyPagesGetThreeDigits()
    {
        const QString base = TScanUploadController::UploadBaseName(QStringLiteral("invoice"));
        QCOMPARE(TScanUploadController::PageUploadName(base, 0, 40), QStringLiteral("invoice_001.jpg"));
        QCOMPARE(TScanUploadController::PageUploadName(base, 39, 40), QStringLiteral("invoice_040.jpg"));
        QCOMPARE(TScanUploadController::PageUploadName(base, 30, 31), QStringLiteral("invoice_31.jpg"));
        QCOMPARE(TScanUploadController::PageUploadName(base, 31, 32), QStringLiteral("invoice_032.jpg"));
    }

    void frameRect_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QRect>("drawn");
        QTest::addRow("fits") << QSize(640, 480) << QSize(800, 600) << QRect(0, 0, 640, 480);
        QTest::addRow("wide frame") << QSize(1280, 720) << QSize(800, 600) << QRect(0, 0, 800, 450);
        QTest::addRow("tall frame") << QSize(600, 1200) << QSize(800, 600) << QRect(0, 0, 300, 600);
    }
    void frameRect()
    {
        QFETCH(QSize, frame);
        QFETCH(QSize, area);
        QTEST(CaptureLogic::FrameRect(frame, area), "drawn");
    }

    void cameraSize_data()
    {
        QTest::addColumn<QStringList>("sizes");
        QTest::addColumn<int>("chosen");
        QTest::addRow("first above 900") << QStringList{"640*480", "1280*720", "1920*1080"} << 1;
        QTest::addRow("none above 900") << QStringList{"320*240", "900*700"} << -1;
        QTest::addRow("not a number") << QStringList{"wide*1", "1024x768", "1024*768"} << 2;
    }
    void cameraSize()
    {
        QFETCH(QStringList, sizes);
        QTEST(CaptureLogic::ChooseCameraSize(sizes), "chosen");
    }

    void acquireItem()
    {
        QCOMPARE(CaptureLogic::AcquireItem(0, -1), -1);
        QCOMPARE(CaptureLogic::AcquireItem(1, -1), 0);   // the only source is taken
        QCOMPARE(CaptureLogic::AcquireItem(2, -1), -1);  // the user must choose
        QCOMPARE(CaptureLogic::AcquireItem(2, 1), 1);
    }
};

class ScanPagesTest : public QObject
{
    Q_OBJECT
    TestHome home;

private Q_SLOTS:
    void pagesArePrivateAndGoWithTheCapture()
    {
        QString folder;
        {
            TScanPages a(home.path() + QStringLiteral("/Temp"));
            TScanPages b(home.path() + QStringLiteral("/Temp"));
            QVERIFY(a.IsValid() && b.IsValid());
            QVERIFY(a.Folder() != b.Folder());
            QCOMPARE(QFileInfo(a.Folder()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                     QFileDevice::Permissions());
            QVERIFY(a.Add(filled(30, 20, Qt::red)));
            QVERIFY(a.Add(filled(30, 20, Qt::blue)));
            QCOMPARE(a.Count(), 2);
            QVERIFY(a.DeleteCurrent());
            QVERIFY(a.Add(filled(30, 20, Qt::green)));
            // A deleted page's name is never given again.
            const QStringList files = a.Files();
            QCOMPARE(QSet<QString>(files.cbegin(), files.cend()).size(), 2);
            QVERIFY(!a.Files().contains(a.Folder() + QStringLiteral("kvscan_0.bmp")));
            folder = a.Folder();
        }
        // A write still under way when the pages went cleans up after itself.
        QTRY_VERIFY(!QFileInfo::exists(folder));
    }

    // A 600 dpi colour page is tens of megabytes: the owner's thread takes it at
    // once and never waits for the disk, and the pages keep the order they came in.
    void pagesAreWrittenAndReadOffTheOwnersThreadInOrder()
    {
        TScanPages pages(home.path() + QStringLiteral("/Temp"));
        QSignalSpy written(&pages, &TScanPages::written);
        const QList<QColor> colours{Qt::red, Qt::green, Qt::blue, Qt::yellow};
        for (const QColor &c : colours)
            QVERIFY(pages.Add(filled(1200, 1600, c)));
        QCOMPARE(pages.Count(), 4);   // unsaved pages count before their files are there
        QVERIFY(pages.IsWriting());
        for (const QString &f : pages.Files())
            QVERIFY2(!QFileInfo::exists(f), qPrintable(f));
        QCOMPARE(pages.Index(), 0);
        QCOMPARE(pages.Current().pixelColor(0, 0), QColor(Qt::red));
        QVERIFY(written.wait(20000));
        QVERIFY(!pages.IsWriting());
        for (int i = 0; i < colours.size(); ++i)
            QCOMPARE(QImage(pages.Files().at(i)).pixelColor(600, 800), colours.at(i));

        // A written page is read back on a worker; only the page asked for last is shown.
        QSignalSpy changed(&pages, &TScanPages::currentChanged);
        QVERIFY(pages.Show(2));
        QVERIFY(pages.Current().isNull());
        QVERIFY(changed.wait(20000));
        QCOMPARE(pages.Current().pixelColor(0, 0), QColor(Qt::blue));
        QVERIFY(pages.Show(0));
        QVERIFY(pages.Down());
        QTRY_VERIFY(!pages.Current().isNull());
        QCOMPARE(pages.Index(), 1);
        QCOMPARE(pages.Current().pixelColor(0, 0), QColor(Qt::green));
        QTRY_COMPARE(changed.count(), 2);
    }

    void aPageThatCannotBeWrittenGoesAndSaysWhy()
    {
        TScanPages pages(home.path() + QStringLiteral("/Temp"));
        QSignalSpy failed(&pages, &TScanPages::writeFailed);
        QVERIFY(pages.Add(filled(30, 20, Qt::red)));
        QTRY_VERIFY(!pages.IsWriting());
        // The folder went from under the pages: the next one cannot be written.
        QVERIFY(QDir(pages.Folder()).removeRecursively());
        QVERIFY(pages.Add(filled(30, 20, Qt::green)));
        QCOMPARE(pages.Count(), 2);
        QVERIFY(failed.wait(10000));
        QVERIFY2(failed.first().at(0).toString().contains(QStringLiteral("kvscan_1.bmp")),
                 qPrintable(failed.first().at(0).toString()));
        QCOMPARE(pages.Count(), 1);
        QVERIFY(!pages.IsWriting());
    }

    void pagesThatGoWhileWritingLeaveNothing()
    {
        QString folder;
        {
            TScanPages pages(home.path() + QStringLiteral("/Temp"));
            for (int i = 0; i < 3; ++i)
                QVERIFY(pages.Add(filled(1200, 1600, Qt::darkCyan)));
            folder = pages.Folder();
        }
        QTRY_VERIFY(!QFileInfo::exists(folder));
    }

    void rotationTurnsThePageAndStoresIt()
    {
        TScanPages pages(home.path() + QStringLiteral("/Temp"));
        QImage img = filled(4, 2, Qt::white);
        img.setPixelColor(0, 0, Qt::red);   // top left
        QVERIFY(pages.Add(img));
        QVERIFY(pages.RotateLeft());
        QTRY_VERIFY(!pages.IsWriting());
        // Counter-clockwise: the top-left corner goes to the bottom left.
        QImage stored(pages.Files().first());
        QCOMPARE(stored.size(), QSize(2, 4));
        QCOMPARE(stored.pixelColor(0, 3), QColor(Qt::red));
        QVERIFY(pages.RotateRight());
        QVERIFY(pages.RotateRight());
        QTRY_VERIFY(!pages.IsWriting());
        stored = QImage(pages.Files().first());
        // Clockwise twice from there: top right.
        QCOMPARE(stored.size(), QSize(2, 4));
        QCOMPARE(stored.pixelColor(1, 0), QColor(Qt::red));
    }

    void watermarkIsClippedAndKeptInThePage()
    {
        TScanPages pages(home.path() + QStringLiteral("/Temp"));
        QVERIFY(pages.Add(filled(60, 60, QColor(200, 200, 200))));
        // A mark larger than the page, its top-left colour transparent.
        QImage mark = filled(100, 100, Qt::white);
        mark.fill(QColor(0, 0, 100));
        mark.setPixelColor(0, 0, Qt::white);
        for (int y = 0; y < 100; ++y)
            mark.setPixelColor(99, y, Qt::white);   // a transparent column
        QVERIFY(pages.ToggleWatermark(mark));
        QTRY_VERIFY(!pages.IsWriting());
        const QImage stamped(pages.Files().first());
        QCOMPARE(stamped.size(), QSize(60, 60));
        // Each covered colour byte becomes (90 * page + 10 * mark) / 100, once per stamp that reaches it.
        const QColor once(180, 180, 190), twice(162, 162, 181);
        QCOMPARE(stamped.pixelColor(55, 55), twice);   // the first stamp and the centre one
        QCOMPARE(stamped.pixelColor(5, 5), twice);     // the centre one and the last, from outside the page
        QCOMPARE(stamped.pixelColor(30, 30), once);    // the centre one only
        QCOMPARE(stamped.pixelColor(9, 5), once);      // the last stamp's transparent column leaves it
        const QColor c = stamped.pixelColor(55, 55);
        // Second press shows the stored page: still stamped, and the button is armed again.
        QVERIFY(!pages.ToggleWatermark(mark));
        QTRY_VERIFY(!pages.Current().isNull());
        QCOMPARE(pages.Current().pixelColor(55, 55), c);
        // Third press stamps again.
        QVERIFY(pages.ToggleWatermark(mark));
        QTRY_VERIFY(!pages.IsWriting());
        QVERIFY(QImage(pages.Files().first()).pixelColor(55, 55).red() < c.red());
    }

    void stampArithmetic()
    {
        QImage mark = filled(3, 3, QColor(0, 0, 0));
        mark.setPixelColor(0, 0, Qt::white);   // transparent colour
        const QImage out = TScanPages::Stamp(filled(200, 200, QColor(100, 150, 250)), mark);
        QCOMPARE(out.pixelColor(51, 51), QColor(90, 135, 225));
        QCOMPARE(out.pixelColor(50, 50), QColor(100, 150, 250));   // the transparent corner
        QCOMPARE(out.pixelColor(49, 49), QColor(100, 150, 250));
    }
};

class ClipboardFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void paths_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("paths");
        QTest::addRow("uri list") << "text/uri-list"
                                  << QByteArray("# comment\r\nfile:///srv/a%20b.txt\r\nfile:///srv/%E6%8A%A5%E5%91%8A.doc\r\n")
                                  << QStringList{"/srv/a b.txt", "/srv/报告.doc"};
        QTest::addRow("gnome copy") << "x-special/gnome-copied-files" << QByteArray("copy\nfile:///srv/x.txt\nfile:///srv/y.txt")
                                    << QStringList{"/srv/x.txt", "/srv/y.txt"};
        QTest::addRow("gnome cut") << "x-special/gnome-copied-files" << QByteArray("cut\nfile:///srv/x.txt")
                                   << QStringList{"/srv/x.txt"};
        QTest::addRow("remote addresses left out") << "text/uri-list"
                                                   << QByteArray("https://example.test/a.txt\nfile:///srv/b.txt")
                                                   << QStringList{"/srv/b.txt"};
        QTest::addRow("file uris as text") << "text/plain" << QByteArray("file:///srv/a.txt\nfile:///srv/b.txt\n")
                                           << QStringList{"/srv/a.txt", "/srv/b.txt"};
        QTest::addRow("plain text") << "text/plain" << QByteArray("just words\nfile:///srv/a.txt") << QStringList();
    }
    void paths()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, data);
        QMimeData mime;
        if (format == QLatin1String("text/plain"))
            mime.setText(QString::fromUtf8(data));
        else
            mime.setData(format, data);
        QTEST(ClipboardFiles::Paths(&mime), "paths");
    }
};

class ScanUploadTest : public QObject
{
    Q_OBJECT
    TestHome home;
    Server server;
    AnsweringPrompter prompter;
    QString tempRoot() const { return home.configFolder() + QStringLiteral("Temp"); }

    std::unique_ptr<TTwainXeFrm> window(FakeCamera **camera = nullptr)
    {
        auto cam = std::make_unique<FakeCamera>();
        if (camera)
            *camera = cam.get();
        auto w = std::make_unique<TTwainXeFrm>(server.conn, server.userId, tempRoot(), nullptr, std::move(cam));
        QSignalSpy listed(w.get(), &TTwainXeFrm::sourcesListed);
        if (!listed.wait(30000))
            qWarning("no scanner list");
        w->ShowUploadPanel();
        return w;
    }
    // Chooses SANE's first test device and its 75 dpi colour setting.
    bool chooseTestScanner(TTwainXeFrm &w)
    {
        QSignalSpy shown(&w, &TTwainXeFrm::optionsShown);
        w.cbTwainSource->setCurrentIndex(0);
        if (!shown.wait(20000))
            return false;
        w.cbResolution->setCurrentIndex(w.cbResolution->findData(QStringLiteral("75")));
        w.cbMode->setCurrentIndex(w.cbMode->findData(QStringLiteral("Color")));
        return w.cbResolution->currentData().toString() == QLatin1String("75");
    }
    bool scanOnePage(TTwainXeFrm &w)
    {
        QSignalSpy ended(&w, &TTwainXeFrm::scanEnded);
        QTest::mouseClick(w.sptAcquire, Qt::LeftButton);
        return ended.wait(60000) && !ended.first().at(0).toBool() && ended.first().at(1).toString().isEmpty();
    }

private Q_SLOTS:
    void init()
    {
        prompter.shown.clear();
        prompter.asked.clear();
        prompter.answer = true;
        TPrompter::SetInstance(&prompter);
    }
    void cleanup() { TPrompter::SetInstance(nullptr); }

    void scanTwoPagesRotateOneAndUploadBoth()
    {
        std::unique_ptr<TTwainXeFrm> w = window();
        QCOMPARE(w->cbTwainSource->count(), 2);   // the test back end's two devices, no camera asked for
        QVERIFY(chooseTestScanner(*w));
        QVERIFY(w->chbShowUI->isVisible() || !w->isVisible());
        QVERIFY(scanOnePage(*w));
        QVERIFY(scanOnePage(*w));
        QCOMPARE(w->Pages().Count(), 2);
        const QSize page = w->Pages().Current().size();
        QVERIFY2(page.width() > 100 && page.height() > page.width(), "the test back end scans a portrait page");
        QTest::mouseClick(w->tbDown, Qt::LeftButton);
        QCOMPARE(w->Pages().Index(), 1);
        QTRY_VERIFY(!w->Pages().Current().isNull());
        QTest::mouseClick(w->tbRight, Qt::LeftButton);
        QTRY_COMPARE(w->Pages().Current().size(), page.transposed());

        const qint64 arcId = 77;
        w->SetUpload(server.userId, server.folderId, arcId);
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());
        TTwainUploadFrm *dialog = w->UploadFrm();
        // Nothing goes without a name.
        QTest::mouseClick(dialog->btnUpload, Qt::LeftButton);
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Please input file name!")});
        QVERIFY(!dialog->Controller().IsBusy());
        dialog->edtFileName->setText(QStringLiteral("invoice"));
        QSignalSpy done(w.get(), &TTwainXeFrm::uploadFinished);
        QTest::mouseClick(dialog->btnUpload, Qt::LeftButton);
        QVERIFY(done.wait(60000));
        QVERIFY(done.first().at(0).toBool());
        QCOMPARE(prompter.shown.last(), QStringLiteral("Uploaded!"));

        qint64 key1 = 0, key2 = 0;
        const QImage first = QImage::fromData(server.body(QStringLiteral("invoice_1.jpg"), server.folderId, &key1), "JPEG");
        const QImage second = QImage::fromData(server.body(QStringLiteral("invoice_2.jpg"), server.folderId, &key2), "JPEG");
        QCOMPARE(first.size(), page);
        QCOMPARE(second.size(), page.transposed());
        // Both files were linked to the archive record, as the demo user.
        Store store(server.dataDir());
        QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM archive_links WHERE arc_id=? AND user_id=? AND file_key IN (?, ?)"),
                                  {arcId, server.userId, key1, key2}).toInt(),
                 2);
        // The stored pages leave the window and the disk.
        QCOMPARE(w->Pages().Count(), 0);
        QCOMPARE(filesIn(w->Pages().Folder()), QStringList());
    }

    void failedPagesStayForAnotherTry()
    {
        std::unique_ptr<TTwainXeFrm> w = window();
        QVERIFY(chooseTestScanner(*w));
        QVERIFY(scanOnePage(*w));
        const QStringList pages = w->Pages().Files();
        // An owner the server does not know refuses the file.
        w->SetUpload(987654, server.folderId, 0);
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());
        w->UploadFrm()->edtFileName->setText(QStringLiteral("refused"));
        QSignalSpy done(w.get(), &TTwainXeFrm::uploadFinished);
        QTest::mouseClick(w->UploadFrm()->btnUpload, Qt::LeftButton);
        QVERIFY(done.wait(60000));
        QVERIFY(!done.first().at(0).toBool());
        QVERIFY(!prompter.shown.contains(QStringLiteral("Uploaded!")));
        QVERIFY2(prompter.shown.last().contains(QStringLiteral("refused.jpg")), qPrintable(prompter.shown.last()));
        QCOMPARE(w->Pages().Files(), pages);
        QVERIFY(QFileInfo::exists(pages.first()));
        // The same page goes once the folder is right.
        w->SetUpload(server.userId, server.folderId, 0);
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());
        w->UploadFrm()->edtFileName->setText(QStringLiteral("second try"));
        QTest::mouseClick(w->UploadFrm()->btnUpload, Qt::LeftButton);
        QVERIFY(done.wait(60000));
        QVERIFY(done.last().at(0).toBool());
        QVERIFY(!server.body(QStringLiteral("second try.jpg"), server.folderId).isEmpty());
    }

    void cancelMidScan()
    {
        std::unique_ptr<TTwainXeFrm> w = window();
        QVERIFY(chooseTestScanner(*w));
        // A large page at the back end's slow pace takes many seconds.
        w->cbResolution->setCurrentIndex(w->cbResolution->findData(QStringLiteral("600")));
        QSignalSpy ended(w.get(), &TTwainXeFrm::scanEnded);
        QSignalSpy progress(w.get(), &TTwainXeFrm::scanProgress);
        QTest::mouseClick(w->sptAcquire, Qt::LeftButton);
        QVERIFY(w->IsScanning());
        QCOMPARE(w->sptAcquire->text(), QStringLiteral("Stop"));
        // Stopped while the page is being read.
        QVERIFY(progress.wait(20000));
        QVERIFY(progress.last().at(0).toInt() < 100);
        QTest::mouseClick(w->sptAcquire, Qt::LeftButton);
        QVERIFY(ended.wait(20000));
        QVERIFY(ended.first().at(0).toBool());
        QCOMPARE(w->Pages().Count(), 0);
        QVERIFY(!w->IsScanning());
        QCOMPARE(w->sptAcquire->text(), QStringLiteral("Acquire"));
        // The device is free again.
        w->cbResolution->setCurrentIndex(w->cbResolution->findData(QStringLiteral("75")));
        QVERIFY(scanOnePage(*w));
        QCOMPARE(w->Pages().Count(), 1);
    }

    void feederGivesPagesUntilEmpty()
    {
        std::unique_ptr<TTwainXeFrm> w = window();
        QVERIFY(chooseTestScanner(*w));
        const int feeder = w->cbPaperSource->findData(QStringLiteral("Automatic Document Feeder"));
        QVERIFY(feeder > 0);
        w->cbPaperSource->setCurrentIndex(feeder);
        QVERIFY(scanOnePage(*w));
        // The test back end's feeder holds ten sheets.
        QCOMPARE(w->Pages().Count(), 10);
        QCOMPARE(w->Pages().Index(), 0);
        QVERIFY(w->tbDown->isEnabled());
    }

    void cameraStillIsTheOnlyPage()
    {
        FakeCamera *camera = nullptr;
        std::unique_ptr<TTwainXeFrm> w = window(&camera);
        w->VideoInit();
        QCOMPARE(w->cbTwainSource->count(), 3);
        QCOMPARE(w->SourceKind(2), 2);
        w->cbTwainSource->setCurrentIndex(2);
        QVERIFY(camera->running);
        QCOMPARE(camera->chosen, 1);   // the first size wider than 900
        QCOMPARE(w->cbVideoSize->currentIndex(), 1);
        camera->push(filled(320, 200, Qt::darkGreen));
        QTest::mouseClick(w->tbVideoPause, Qt::LeftButton);
        QVERIFY(camera->paused);
        QCOMPARE(w->Pages().Count(), 1);
        QCOMPARE(w->Pages().Current().size(), QSize(320, 200));
        QTest::mouseClick(w->tbVideoPause, Qt::LeftButton);
        QVERIFY(!camera->paused);
        // Upload while the picture runs takes the latest frame as the only page.
        camera->push(filled(160, 90, Qt::yellow));
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());
        QCOMPARE(w->Pages().Count(), 1);
        QCOMPARE(w->Pages().Current().size(), QSize(160, 90));
        QVERIFY(camera->paused);
        w->UploadFrm()->reject();
        QTRY_VERIFY(!w->UploadFrm());
        QVERIFY(!camera->paused);
    }

    void cameraStillKeepsScannedPages()
    {
        FakeCamera *camera = nullptr;
        std::unique_ptr<TTwainXeFrm> w = window(&camera);
        QVERIFY(chooseTestScanner(*w));
        QVERIFY(scanOnePage(*w));
        const QStringList scanned = w->Pages().Files();
        QCOMPARE(scanned.size(), 1);
        w->VideoInit();
        w->cbTwainSource->setCurrentIndex(2);
        QVERIFY(camera->running);
        camera->push(filled(320, 200, Qt::darkGreen));
        QTest::mouseClick(w->tbVideoPause, Qt::LeftButton);   // a still
        QTest::mouseClick(w->tbVideoPause, Qt::LeftButton);   // live again
        camera->push(filled(160, 90, Qt::yellow));
        QTest::mouseClick(w->tbVideoPause, Qt::LeftButton);   // a new still in place of the first
        QCOMPARE(w->Pages().Count(), 2);
        QCOMPARE(w->Pages().Files().first(), scanned.first());
        QTRY_VERIFY(!w->Pages().IsWriting());
        QVERIFY(QFileInfo::exists(scanned.first()));
        QCOMPARE(w->Pages().Current().size(), QSize(160, 90));
    }

    void cameraIsReleasedOnCloseAndAfterUpload()
    {
        FakeCamera *camera = nullptr;
        std::unique_ptr<TTwainXeFrm> w = window(&camera);
        w->VideoInit();
        w->cbTwainSource->setCurrentIndex(2);
        QVERIFY(camera->running);
        w->close();
        QVERIFY(!camera->running);
        // Asked for again it starts again, and an upload lets it go.
        w->show();
        QTest::mouseClick(w->sptAcquire, Qt::LeftButton);
        QVERIFY(camera->running);
        camera->push(filled(160, 90, Qt::yellow));
        w->SetUpload(server.userId, server.folderId, 0);
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());
        w->UploadFrm()->edtFileName->setText(QStringLiteral("still"));
        QSignalSpy done(w.get(), &TTwainXeFrm::uploadFinished);
        QTest::mouseClick(w->UploadFrm()->btnUpload, Qt::LeftButton);
        QVERIFY(done.wait(60000));
        QVERIFY(done.first().at(0).toBool());
        QVERIFY(!camera->running);
    }

    // The still goes when its file cannot be written: said once, and no dialog for a page that is not there.
    void pageThatCannotBeWrittenIsReportedNotUploaded()
    {
        FakeCamera *camera = nullptr;
        std::unique_ptr<TTwainXeFrm> w = window(&camera);
        w->VideoInit();
        w->cbTwainSource->setCurrentIndex(2);
        QVERIFY(camera->running);
        QVERIFY(QDir(w->Pages().Folder()).removeRecursively());
        camera->push(filled(320, 200, Qt::darkGreen));
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QCOMPARE(w->Pages().Count(), 1);
        QTRY_COMPARE(w->Pages().Count(), 0);
        QCOMPARE(prompter.shown.size(), 1);
        QVERIFY2(prompter.shown.first().startsWith(QStringLiteral("A scanned page could not be kept on disk: ")),
                 qPrintable(prompter.shown.first()));
        QVERIFY(!w->Pages().IsWriting());
        QVERIFY(!w->UploadFrm());
    }

    void acquireWithoutSources()
    {
        class NoScanner : public ScannerSource
        {
        public:
            void ListDevices() override { Q_EMIT devicesListed({}); }
            void ReadOptions(const QString &) override {}
            void Scan(const QString &, const ScanSettings &) override {}
            void Cancel() override {}
            bool IsScanning() const override { return false; }
        };
        TTwainXeFrm w(server.conn, server.userId, tempRoot(), std::make_unique<NoScanner>(),
                      std::make_unique<FakeCamera>());
        QTRY_COMPARE(w.cbTwainSource->count(), 0);
        w.Acquire();
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("No scanner found")});
        w.Upload();
        QCOMPARE(prompter.shown.last(), QStringLiteral("没有扫描文件，请先扫描文件"));
        QVERIFY(!w.UploadFrm());
    }
};

class ClipboardUploadTest : public QObject
{
    Q_OBJECT
    TestHome home;
    Server server;
    AnsweringPrompter prompter;
    QTemporaryDir files;

    QString write(const QString &name, const QByteArray &bytes)
    {
        QFile f(files.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        return f.fileName();
    }

private Q_SLOTS:
    void init()
    {
        prompter.shown.clear();
        prompter.asked.clear();
        prompter.answer = true;
        TPrompter::SetInstance(&prompter);
    }
    void cleanup() { TPrompter::SetInstance(nullptr); }

    void uploadsCopiedFilesAfterAsking()
    {
        const QString spaced = write(QStringLiteral("report 2024 final.txt"), "spaced name\n");
        const QString chinese = write(QStringLiteral("季度 报告.txt"), QByteArray("中文内容\n"));
        const QString empty = write(QStringLiteral("empty.txt"), QByteArray());
        const QString missing = files.filePath(QStringLiteral("gone.txt"));
        ClipboardFiles::Write({spaced, missing, chinese, empty});

        TUploadDragFilesFrm w(server.conn);
        w.SetDestination(server.userId, server.folderId);
        QSignalSpy ended(&w, &TUploadDragFilesFrm::passEnded);
        w.Uplad();
        QVERIFY(ended.wait(60000));
        QVERIFY(ended.first().at(0).toBool());
        // The question named every file and the server's folder before anything was sent.
        QCOMPARE(prompter.asked.size(), 1);
        for (const QString &p : {spaced, missing, chinese, empty})
            QVERIFY2(prompter.asked.first().contains(p), qPrintable(prompter.asked.first()));
        QVERIFY2(prompter.asked.first().contains(QStringLiteral("Demo")), qPrintable(prompter.asked.first()));
        QCOMPARE(ended.first().at(1).toInt(), 2);
        QCOMPARE(server.body(QStringLiteral("report 2024 final.txt"), server.folderId), QByteArray("spaced name\n"));
        QCOMPARE(server.body(QStringLiteral("季度 报告.txt"), server.folderId), QByteArray("中文内容\n"));
        const QStringList lines = w.Memo1->toPlainText().split(u'\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), spaced);
        QVERIFY2(lines.at(1).startsWith(missing + QStringLiteral("  --  Upload failed error: ")), qPrintable(lines.at(1)));
        QCOMPARE(lines.at(2), chinese);
        QCOMPARE(lines.at(3), empty + QStringLiteral("  --  Upload failed error: The size of uploaded file cannot be 0 !"));
        QCOMPARE(w.lbT->text(), QStringLiteral("There are 4 files, has completed 4, Upload Failed number: 2"));
        // The list was taken from the clipboard.
        QVERIFY(ClipboardFiles::Read().isEmpty());
    }

    void declinedListSendsNothing()
    {
        const QString a = write(QStringLiteral("not wanted.txt"), "x");
        ClipboardFiles::Write({a});
        const int before = server.fileCount(server.folderId);
        prompter.answer = false;
        TUploadDragFilesFrm w(server.conn);
        w.SetDestination(server.userId, server.folderId);
        QSignalSpy ended(&w, &TUploadDragFilesFrm::passEnded);
        w.Uplad();
        QVERIFY(ended.wait(30000));
        QVERIFY(!ended.first().at(0).toBool());
        QCOMPARE(server.fileCount(server.folderId), before);
        QCOMPARE(ClipboardFiles::Read(), QStringList{a});
    }

    void textOnlyClipboard()
    {
        QGuiApplication::clipboard()->setText(QStringLiteral("some words"));
        TUploadDragFilesFrm w(server.conn);
        w.SetDestination(server.userId, server.folderId);
        w.Uplad();
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Copy files in the windows explorer, then paste them in "
                                                            "this window for being uploaded automatically ")});
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        QVERIFY(prompter.asked.isEmpty());
    }
};

int main(int argc, char **argv)
{
    // SANE's test back end, two slow devices: pages take a moment, so a scan can be stopped midway.
    QTemporaryDir sane;
    QFile dll(sane.filePath(QStringLiteral("dll.conf")));
    QFile conf(sane.filePath(QStringLiteral("test.conf")));
    if (!dll.open(QIODevice::WriteOnly) || !conf.open(QIODevice::WriteOnly))
        return 2;
    dll.write("test\n");
    conf.write("number_of_devices 2\nmode Color\ndepth 8\nresolution 75\ntest-picture \"Color pattern\"\n"
               "read-limit true\nread-limit-size 65536\nread-delay true\nread-delay-duration 50000\n"
               "br_x 80.0\nbr_y 100.0\n");
    dll.close();
    conf.close();
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(sane.path()));
    QApplication app(argc, argv);
    return runTests<CaptureLogicTest, ScanPagesTest, ClipboardFilesTest, ScanUploadTest, ClipboardUploadTest>(argc, argv);
}

#include "tst_capture.moc"
