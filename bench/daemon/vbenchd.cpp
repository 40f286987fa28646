// vbenchd: serves one virtual bench to every program of this user over a local socket, the way the
// real driver serves every program on a PC. Runs in the foreground; `vbench start` puts it in the
// background. Everything lives in the bench home ($VBENCH_HOME or a folder of the user's own).

#include "BenchHome.h"
#include "BenchWorld.h"
#include "HostServer.h"
#include "SimHost.h"
#include "UsbEmulator.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include "ProgramOptions.h"

namespace {

std::atomic<bool> g_signalled{false};

void OnSignal(int)
{
    g_signalled = true;
}

// Writes the state through a temporary file and a rename, so a crash leaves the old file or the new
// one, never half of one.
bool SaveState(const BenchWorld &world, const std::string &path)
{
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(world.Save()).toJson());
    return file.commit();
}

// Reads the state file without following a link and without blocking on something that is not a
// regular file; a file larger than any bench state is refused.
bool ReadStateFile(const std::string &path, QByteArray &bytes, std::string &error)
{
    constexpr off_t kMaxStateBytes = 64 << 20;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info{};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxStateBytes) {
        error = fd < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                       : path + " is not a regular file of at most 64 MiB";
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bytes.resize(static_cast<qsizetype>(info.st_size));
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, static_cast<std::size_t>(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    bytes.resize(got);
    return true;
}

bool LoadState(BenchWorld &world, const std::string &path, std::string &error, std::vector<std::string> &skipped)
{
    QByteArray bytes;
    if (!ReadStateFile(path, bytes, error))
        return false;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (!document.isObject()) {
        error = path + " is not a bench state: " + parseError.errorString().toStdString();
        return false;
    }
    return world.Load(document.object(), error, &skipped);
}

// A save killed half-way leaves its temporary file ("state.json." and six characters) behind.
void RemoveUnfinishedSaves(const std::string &home)
{
    std::error_code ec;
    const std::string prefix = std::filesystem::path(benchwire::BenchStatePath(home)).filename().string() + ".";
    for (const auto &entry : std::filesystem::directory_iterator(home, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0 || !entry.is_regular_file(ec))
            continue;
        const std::string tail = name.substr(prefix.size());
        if (std::all_of(tail.begin(), tail.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
            std::filesystem::remove(entry.path(), ec);
            std::fprintf(stderr, "vbenchd: removed %s, left by a save that did not finish\n", name.c_str());
        }
    }
}

bool IsMutating(const std::vector<std::string> &args)
{
    static const char *const readOnly[] = {"status", "list", "inf", "help", "--help"};
    if (args.empty())
        return false;
    for (const char *word : readOnly)
        if (args[0] == word)
            return false;
    return std::find(args.begin(), args.end(), "--help") == args.end();
}

// What the command line asks for beyond serving: an exit status when the program ends here.
std::optional<int> AnswerCommandLine(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "vbenchd"))
        return 0;
    if (argc > 1) {
        std::fprintf(argc == 2 && !std::strcmp(argv[1], "--help") ? stdout : stderr,
                     "Usage: vbenchd\n"
                     "Serves the virtual bench in the bench home ($VBENCH_HOME, else ~/.local/state/qt7730-vbench)\n"
                     "until it is stopped (vbench stop, SIGTERM or SIGINT). Normally started by 'vbench start'.\n");
        return argc == 2 && !std::strcmp(argv[1], "--help") ? 0 : 2;
    }
    return std::nullopt;
}

// The home and its system directory (with the INF folder); false when they cannot be made (said).
bool PrepareHome(const std::string &home)
{
    std::error_code ec;
    if (std::string error; !benchwire::PrepareBenchHome(home, error)) {
        std::fprintf(stderr, "vbenchd: %s\n", error.c_str());
        return false;
    }
    const std::string systemDirectory = benchwire::BenchSystemDirectory(home);
    std::filesystem::create_directories(systemDirectory + "/INF", ec);
    if (ec) {
        std::fprintf(stderr, "vbenchd: cannot create %s: %s\n", systemDirectory.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

// One daemon per home: a second one would steal the socket from the first. The lock is held until
// the process ends.
bool LockHome(const std::string &home)
{
    const std::string lockPath = benchwire::BenchLockPath(home);
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "vbenchd: another daemon already serves %s\n", home.c_str());
        return false;
    }
    return true;
}

// The bench and its world, as the home's state file left them (a fresh default bench when there is
// none or it is unusable); saved again at once.
struct LoadedBench {
    std::unique_ptr<bench::Bench> bench;
    std::unique_ptr<BenchWorld> world;
};

LoadedBench LoadBench(const std::string &home)
{
    std::error_code ec;
    bench::BenchOptions options;
    options.systemDirectory = benchwire::BenchSystemDirectory(home);
    LoadedBench loaded;
    auto &bench = loaded.bench;
    auto &world = loaded.world;
    bench = std::make_unique<bench::Bench>(options);
    world = std::make_unique<BenchWorld>(*bench);

    RemoveUnfinishedSaves(home);
    const std::string statePath = benchwire::BenchStatePath(home);
    std::string error;
    std::vector<std::string> skipped;
    if (!std::filesystem::exists(std::filesystem::symlink_status(statePath, ec))) {
        world->CreateDefault();
    } else if (LoadState(*world, statePath, error, skipped)) {
        if (!skipped.empty()) {
            // The next save drops what was skipped: keep the file as it was for a person to look at.
            const std::string kept = statePath + ".unusable";
            std::filesystem::copy_file(statePath, kept, std::filesystem::copy_options::overwrite_existing, ec);
            for (const std::string &note : skipped)
                std::fprintf(stderr, "vbenchd: %s: %s\n", statePath.c_str(), note.c_str());
            std::fprintf(stderr, "vbenchd: loaded the rest; the file as it was is kept as %s\n", kept.c_str());
        }
    } else {
        // Keep the unusable file for a person to look at, and start a fresh bench rather than none.
        const std::string kept = statePath + ".unusable";
        std::filesystem::rename(statePath, kept, ec);
        std::fprintf(stderr, "vbenchd: %s; kept it as %s and started a fresh bench\n", error.c_str(), kept.c_str());
        world.reset();
        bench = std::make_unique<bench::Bench>(options);
        world = std::make_unique<BenchWorld>(*bench);
        world->CreateDefault();
    }
    SaveState(*world, statePath);
    return loaded;
}

// The same cables as an emulated USB stack, for the kit's USB backend (usbemu --bench runs a program
// inside it); its directory is named in the home while the daemon runs. Returns that file's path.
std::string PublishUsbDirectory(bench::UsbEmulator &usb)
{
    const std::string usbDirFile = benchwire::BenchHome() + "/usbemu.dir";
    // Never written through a link (the home is private, this is the second line of defence).
    if (const int fd = ::open(usbDirFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600); fd >= 0) {
        const std::string line = usb.Environment()["UMOCKDEV_DIR"] + "\n";
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            std::fprintf(stderr, "vbenchd: cannot write %s\n", usbDirFile.c_str());
        ::close(fd);
    }
    return usbDirFile;
}

// Serves the clients until a stop (a client's, or a signal); then the last save, and the emulated
// stack and its file go.
int Serve(const std::string &home, LoadedBench &loaded, std::unique_ptr<bench::UsbEmulator> &usb,
          const std::string &usbDirFile)
{
    auto &bench = loaded.bench;
    auto &world = loaded.world;
    const std::string statePath = benchwire::BenchStatePath(home);
    std::error_code ec;
    std::string error;

    platform::SimHost host(bench->Pc());
    benchwire::HostServer *serverPtr = nullptr;
    std::mutex saveMutex;
    auto save = [&] {
        std::lock_guard guard(saveMutex);
        if (!SaveState(*world, statePath))
            std::fprintf(stderr, "vbenchd: cannot write %s\n", statePath.c_str());
    };
    benchwire::HostServer server(host, [&](const std::vector<std::string> &args, std::string &out) {
        if (args.size() == 1 && args[0] == "stop") {
            out = "stopping\n";
            serverPtr->RequestStop();
            return 0;
        }
        const int status = world->Run(args, out);
        if (status == 0 && IsMutating(args))
            save();
        return status;
    });
    serverPtr = &server;

    if (!server.Start(benchwire::BenchSocketPath(home), error)) {
        std::fprintf(stderr, "vbenchd: %s\n", error.c_str());
        std::filesystem::remove(usbDirFile, ec);
        return 1;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "vbenchd: serving %s\n", home.c_str());

    // EEPROM writes arrive through the PC face; they are saved within half a second. The same loop
    // turns a signal into an orderly stop.
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (g_signalled)
                server.RequestStop();
            if (world->EepromsChangedSinceLastCheck())
                save();
        }
    });
    server.Wait();
    server.Stop();
    done = true;
    watcher.join();
    save();
    std::filesystem::remove(usbDirFile, ec);
    usb.reset();
    std::fprintf(stderr, "vbenchd: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (const std::optional<int> status = AnswerCommandLine(argc, argv))
        return *status;
    bench::UsbEmulator::RunUnderPreload(argv);
    const std::string home = benchwire::BenchHome();
    if (!PrepareHome(home))
        return 1;
    if (!LockHome(home))
        return 3;
    LoadedBench loaded = LoadBench(home);
    // Built before any client is served, so no client can be holding the descriptors it needs to start.
    auto usb = std::make_unique<bench::UsbEmulator>(*loaded.bench);
    const std::string usbDirFile = PublishUsbDirectory(*usb);
    return Serve(home, loaded, usb, usbDirFile);
}
