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

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

bool LoadState(BenchWorld &world, const std::string &path, std::string &error)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot read " + path;
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        error = path + " is not a bench state: " + parseError.errorString().toStdString();
        return false;
    }
    return world.Load(document.object(), error);
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

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        std::fprintf(argc == 2 && !std::strcmp(argv[1], "--help") ? stdout : stderr,
                     "Usage: vbenchd\n"
                     "Serves the virtual bench in the bench home ($VBENCH_HOME, else ~/.local/state/qt7730-vbench)\n"
                     "until it is stopped (vbench stop, SIGTERM or SIGINT). Normally started by 'vbench start'.\n");
        return argc == 2 && !std::strcmp(argv[1], "--help") ? 0 : 2;
    }
    const std::string home = benchwire::BenchHome();
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    std::filesystem::permissions(home, std::filesystem::perms::owner_all, ec);
    const std::string systemDirectory = benchwire::BenchSystemDirectory(home);
    std::filesystem::create_directories(systemDirectory + "/INF", ec);
    if (ec) {
        std::fprintf(stderr, "vbenchd: cannot create %s: %s\n", systemDirectory.c_str(), ec.message().c_str());
        return 1;
    }

    // One daemon per home: a second one would steal the socket from the first.
    const std::string lockPath = home + "/vbenchd.lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "vbenchd: another daemon already serves %s\n", home.c_str());
        return 3;
    }

    bench::BenchOptions options;
    options.systemDirectory = systemDirectory;
    auto bench = std::make_unique<bench::Bench>(options);
    auto world = std::make_unique<BenchWorld>(*bench);

    const std::string statePath = benchwire::BenchStatePath(home);
    std::string error;
    if (!std::filesystem::exists(statePath)) {
        world->CreateDefault();
    } else if (!LoadState(*world, statePath, error)) {
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

    platform::SimHost host(*bench);
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
        return 1;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "vbenchd: serving %s\n", home.c_str());

    // The same cables as an emulated USB stack, for the kit's USB backend (usbemu --bench runs a
    // program inside it); its directory is named in the home while the daemon runs.
    auto usb = std::make_unique<bench::UsbEmulator>(*bench);
    const std::string usbDirFile = benchwire::BenchHome() + "/usbemu.dir";
    if (FILE *f = std::fopen(usbDirFile.c_str(), "w")) {
        std::fprintf(f, "%s\n", usb->Environment()["UMOCKDEV_DIR"].c_str());
        std::fclose(f);
    }

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
