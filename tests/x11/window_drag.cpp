// The main window on a real X server with a window manager, against other programs' windows
// through the X drag-and-drop protocol, as a file manager's would be:
//  1. three .lua files dragged onto the file list, from a Qt program's window and then from a
//     GTK window; the proper-place question answered with a real click, Yes the first time and
//     No the second; the files are checked on the device;
//  2. two rows (a file and a folder) dragged out of the list onto a GTK drop target, which must
//     receive them as PC files with the device's content and stamps, the window busy meanwhile;
//  3. a file, a folder and a file dragged in from the GTK window: the folder goes as a tree, and
//     a name inside it that the device cannot take is a line that names it, the rest going on.
// Run under xvfb-run with QT_QPA_PLATFORM=xcb and a window manager (with-wm.sh); exits non-zero
// when a step fails. KV_DRAG_SCREENSHOT=FILE.png saves the screen during the drag out.
#include "device/Clock.h"
#include "tools/SimWindow.h"
#include "ui/DeviceActivity.h"

#include <QDateTime>
#include <QDir>
#include <QDrag>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    if (!ok) ++failures;
}

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    return out;
}

// The centre of a peer window on the screen, found by its title.
QPoint PeerCentre(const std::string& title) {
    const std::string shell =
        Output("xdotool search --sync --name '^" + title + "$' getwindowgeometry --shell");
    int x = 0, y = 0, w = 0, h = 0;
    for (const QString& line : QString::fromStdString(shell).split('\n')) {
        const QStringList pair = line.split('=');
        if (pair.size() != 2) continue;
        if (pair[0] == "X") x = pair[1].toInt();
        if (pair[0] == "Y") y = pair[1].toInt();
        if (pair[0] == "WIDTH") w = pair[1].toInt();
        if (pair[0] == "HEIGHT") h = pair[1].toInt();
    }
    return {x + w / 2, y + h / 2};
}

// A person's drag: press, a few small moves to get it going, then on in steps to the drop
// point, a rest there, release. From another X client, through the XTEST extension.
void Drag(QPoint from, QPoint to) {
    std::string command = "xdotool mousemove " + std::to_string(from.x()) + " " +
                          std::to_string(from.y()) + " sleep 0.3 mousedown 1 sleep 0.3";
    for (int step = 1; step <= 24; ++step) {
        const QPoint at = from + (to - from) * step / 24;
        command +=
            " mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " sleep 0.05";
    }
    command += " sleep 0.5 mouseup 1";
    std::system(command.c_str());
}

void Click(QPoint at) {
    std::system(("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                 " mousedown 1 sleep 0.15 mouseup 1")
                    .c_str());
}

template <typename Condition> bool RunUntil(Condition done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        SimWindow::Run(50);
    return done();
}

QPoint RowCentre(const QString& caption) {
    for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = fmMain->lvFiles->topLevelItem(row);
        if (item->text(0) != caption) continue;
        const QRect r = fmMain->lvFiles->visualItemRect(item);
        return fmMain->lvFiles->viewport()->mapToGlobal(QPoint(r.left() + 40, r.center().y()));
    }
    return {-1, -1};
}

// Drags the three files in from the GTK window and answers the question with a click on
// Answer; true when the question came.
bool DropAndAnswer(QPoint source, QMessageBox::StandardButton answer) {
    std::atomic<int> buttonX{-1}, buttonY{-1};
    QString asked;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || buttonX >= 0 || !box->button(answer)) return;
        asked = box->text();
        const QPoint centre =
            box->button(answer)->mapToGlobal(box->button(answer)->rect().center());
        buttonY = centre.y();
        buttonX = centre.x();
    });
    look.start(50);
    const QPoint list =
        fmMain->lvFiles->viewport()->mapToGlobal(fmMain->lvFiles->viewport()->rect().center());
    std::thread person([&] {
        // On a loaded machine a peer may miss the first press: a person would drag again.
        for (int attempt = 0; attempt < 2 && buttonX < 0; ++attempt) {
            if (attempt > 0) std::printf("no question after the drag; dragging again\n");
            Drag(source, list);
            for (int i = 0; i < 400 && buttonX < 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (buttonX >= 0) Click(QPoint(buttonX, buttonY));
    });
    RunUntil([&] { return buttonX >= 0 && !QApplication::activeModalWidget(); }, 20000);
    person.join();
    RunUntil([] { return !fmMain->Activity->Running(); }, 20000);
    SimWindow::Run(300);
    return asked.startsWith("Do you want files put in their proper place?");
}

// A drag source of its own process, as a Qt file manager's file icons are: a window titled
// "peer-qt-source" whose press drags the files given (copy).
class TQtSource : public QLabel {
  public:
    explicit TQtSource(const QStringList& files) : QLabel("qt source"), files_(files) {
        setWindowTitle("peer-qt-source");
        setAlignment(Qt::AlignCenter);
        resize(220, 220);
    }

  protected:
    void mousePressEvent(QMouseEvent*) override {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        QList<QUrl> urls;
        for (const QString& file : files_)
            urls << QUrl::fromLocalFile(file);
        data->setUrls(urls);
        drag->setMimeData(data);
        drag->exec(Qt::CopyAction);
    }

  private:
    QStringList files_;
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && QByteArray(argv[1]) == "--qt-source") {
        QApplication app(argc, argv);
        QStringList files;
        for (int i = 2; i < argc; ++i)
            files << QString::fromLocal8Bit(argv[i]);
        TQtSource source(files);
        source.show();
        std::printf("ready\n");
        std::fflush(stdout);
        return app.exec();
    }
    QApplication app(argc, argv);
    auto storage = std::make_unique<kv::sim::MemoryStorage>();
    kv::sim::MemoryStorage* fs = storage.get();
    fs->AddDir("/Lua");
    fs->AddFile("/Out/one.bin", std::string(100 * 1024, '1'),
                kv::sim::PackFatTime(2022, 3, 4, 5, 6, 8));
    fs->AddFile("/Out/Tree/two.txt", "two", kv::sim::PackFatTime(2023, 1, 2, 3, 4, 6));
    SimWindow window(std::move(storage));
    if (!RunUntil([] { return SimWindow::SelectOnly("Lua"); }, 10000)) {
        std::fprintf(stderr, "the window did not list the simulated device\n");
        return 1;
    }
    fmMain->activateWindow();
    SimWindow::Run(500);
    const auto stored = [fs](const std::string& path) {
        std::string content;
        return fs->ReadFile(kv::sim::SplitPath(path), content) ? content : "<missing>";
    };

    // ---- 1. a drop from a Qt program's window answered Yes, one from a GTK window No ----
    QStringList files;
    for (const char* name : {"a.lua", "b.lua", "c.lua"}) {
        QFile f(window.pc.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray("-- ") + name);
        files << f.fileName();
    }
    QProcess qtSource, source;
    qtSource.start(QCoreApplication::applicationFilePath(), QStringList{"--qt-source"} + files);
    source.start("/usr/bin/python3", QStringList{KV_GTK_PEER, "source"} + files);
    if (!qtSource.waitForReadyRead(10000) || !source.waitForReadyRead(10000)) {
        std::fprintf(stderr, "a drag source did not start: %s\n",
                     source.readAllStandardError().constData());
        return 1;
    }
    Check(DropAndAnswer(PeerCentre("peer-qt-source"), QMessageBox::Yes),
          "a real drop asks the proper-place question");
    Check(stored("/Lua/a.lua") == "-- a.lua" && stored("/Lua/c.lua") == "-- c.lua",
          "answered Yes: the files are in /Lua");
    Check(stored("/a.lua") == "<missing>", "and not in the shown folder");
    Check(DropAndAnswer(PeerCentre("peer-source"), QMessageBox::No), "a second drop asks again");
    Check(stored("/a.lua") == "-- a.lua" && stored("/b.lua") == "-- b.lua",
          "answered No: the files are in the shown folder");
    for (QProcess* peer : {&qtSource, &source}) {
        peer->kill();
        peer->waitForFinished();
    }

    // ---- 2. a file and a folder dragged out onto a GTK drop target ----
    const QString out = window.pc.filePath("dropped.txt");
    QProcess target;
    target.start("/usr/bin/python3", {KV_GTK_PEER, "target", out});
    if (!target.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the GTK drop target did not start\n");
        return 1;
    }
    const QPoint to = PeerCentre("peer-target");
    fmMain->edDir->setText("/Out");
    fmMain->actRefreshExecute();
    for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = fmMain->lvFiles->topLevelItem(row);
        item->setSelected(item->text(0) == "one.bin" || item->text(0) == "Tree");
    }
    SimWindow::Run(300);
    std::atomic<bool> sawBusy{false};
    bool shot = false;
    QTimer busy;
    QObject::connect(&busy, &QTimer::timeout, [&] {
        if (!fmMain->Activity->Running() || !fmMain->btnCancel->isVisible()) return;
        sawBusy = true;
        const QByteArray path = qgetenv("KV_DRAG_SCREENSHOT");
        if (!shot && !path.isEmpty() && fmMain->lblTransfer->text().contains("kB/s"))
            shot =
                QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(path));
    });
    busy.start(50);
    const QPoint row = RowCentre("one.bin");
    std::thread person([&] {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (attempt > 0) std::printf("nothing asked for after the drag; dragging again\n");
            Drag(row, to);
            for (int i = 0; i < 400 && !sawBusy && !QFileInfo::exists(out); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (sawBusy || QFileInfo::exists(out)) break;
        }
    });
    const bool received = RunUntil([&] { return QFileInfo::exists(out); }, 30000);
    person.join();
    Check(received, "the drop target received the dragged rows");
    QFile list(out);
    list.open(QIODevice::ReadOnly);
    QStringList paths;
    for (const QByteArray& line : list.readAll().split('\n'))
        if (!line.isEmpty()) paths << QUrl(QString::fromUtf8(line)).toLocalFile();
    Check(paths.size() == 2, "two URIs: " + paths.join(" ").toStdString());
    if (paths.size() == 2) {
        QFile one(paths[0]);
        one.open(QIODevice::ReadOnly);
        Check(paths[0].endsWith("/one.bin") && one.readAll() == QByteArray(100 * 1024, '1'),
              "one.bin arrives whole");
        Check(QFileInfo(paths[0]).lastModified() == QDateTime(QDate(2022, 3, 4), QTime(5, 6, 8)),
              "with the device's stamp");
        QFile two(paths[1] + "/two.txt");
        two.open(QIODevice::ReadOnly);
        Check(paths[1].endsWith("/Tree") && two.readAll() == "two", "the folder with its file");
    }
    Check(sawBusy, "the window was busy with Cancel live during the download");
    target.kill();
    target.waitForFinished();

    // ---- 3. a file, a folder and a file from the GTK window, into the shown folder ----
    fmMain->edDir->setText("/Lua");
    fmMain->actRefreshExecute();
    QDir pcDir(window.pc.path());
    pcDir.mkpath("in/Tree/sub");
    const auto write = [&](const QString& relative, const QByteArray& content) {
        QFile f(pcDir.filePath("in/" + relative));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return f.fileName();
    };
    const QStringList mixed{write("one.txt", "one"), pcDir.filePath("in/Tree"),
                            write("two.txt", "two")};
    write("Tree/a.txt", "a");
    write("Tree/sub/b.txt", "b");
    write("Tree/bad \"q.txt", "refused");
    fmMain->actTermClearExecute();
    QProcess mixedSource;
    mixedSource.start("/usr/bin/python3", QStringList{KV_GTK_PEER, "source"} + mixed);
    if (!mixedSource.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the GTK drag source did not start\n");
        return 1;
    }
    const QPoint from = PeerCentre("peer-source");
    const QPoint onList =
        fmMain->lvFiles->viewport()->mapToGlobal(fmMain->lvFiles->viewport()->rect().center());
    const auto console = [] { return fmMain->reTerm->toPlainText(); };
    std::atomic<bool> dropped{false};
    std::thread dragger([&] {
        for (int attempt = 0; attempt < 2 && !dropped; ++attempt) {
            if (attempt > 0) std::printf("no upload after the drag; dragging again\n");
            Drag(from, onList);
            for (int i = 0; i < 400 && !dropped; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    RunUntil(
        [&] {
            dropped = dropped || console().contains("Uploading");
            return dropped && !fmMain->Activity->Running() && console().contains("done.");
        },
        40000);
    dragger.join();
    mixedSource.kill();
    mixedSource.waitForFinished();
    Check(stored("/Lua/one.txt") == "one" && stored("/Lua/two.txt") == "two",
          "both files of the mixed drop arrived");
    Check(stored("/Lua/Tree/a.txt") == "a" && stored("/Lua/Tree/sub/b.txt") == "b",
          "the dropped folder arrived as a tree");
    Check(console().contains("bad \"q.txt"), "the name the device cannot take is named");
    if (failures) std::printf("the console pane:\n%s\n", qPrintable(console()));
    return failures == 0 ? 0 : 1;
}
