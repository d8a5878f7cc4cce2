// viz256-emulated: the program against the emulated recorder, for trying it by hand.
//
// The recorder streams in real time (VIZ256_EMU_UNPACED=1: as fast as possible), and its input
// Trig1 fires every 5 s (VIZ256_EMU_TRIGGER_MS sets the period, 0 never), so runs armed on Trig1
// can be tried. VIZ256_EMU_SPIN=1 keeps umockdev's plain node (libusb then polls in a spin).
// The host's usbfs cap is the one the udev rule sets on a set-up workstation;
// VIZ256_EMU_USBFS_MB sets another (16, the kernel's default, shows the program's alert and fix).
// VIZ256_EMU_BUFFER_KIB sets the size of the recorder's own buffer.
// VIZ256_EMU_RUN=PATH runs unattended, for scripts and tests: Init, then an open-ended recorded
// run into PATH that lasts until the window is closed or the program gets SIGINT, SIGTERM or
// SIGHUP; alert texts go to stderr instead of a box, and the console is printed on stdout at
// the end.
// VIZ256_EMU_SCENE=FILE or --scene FILE: the microphones hear the scene of that file (sources in
// front of the array, faults; emulator/scene.h) instead of the built-in signals.
// Started outside umockdev-wrapper, it restarts itself under it. Its testbed (a umockdev.*
// folder in the temporary folder) goes when it ends, however it ends.
#include "app/lancement.h"
#include "device/usbfs.h"
#include "emulator/recorder.h"
#include "emulator/scene.h"

#include <QApplication>
#include <QTimer>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

bool env_flag(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

void restart_under_umockdev(char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "umockdev-preload"))
        return;
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    std::vector<char *> args{const_cast<char *>("umockdev-wrapper"), self};
    for (char **a = argv + 1; *a; ++a)
        args.push_back(*a);
    args.push_back(nullptr);
    execvp("umockdev-wrapper", args.data());
    std::fprintf(stderr, "viz256-emulated: cannot run umockdev-wrapper: %s\n", std::strerror(errno));
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    restart_under_umockdev(argv);

    emu::Options options;
    options.paced = !env_flag("VIZ256_EMU_UNPACED");
    options.spin_fallback = env_flag("VIZ256_EMU_SPIN");
    options.device_memory = env_flag("VIZ256_EMU_DEVICE_MEMORY");
    options.usbfs_memory_mb = usbfs::LIMITE_REGLE_MO;
    if (const char *v = std::getenv("VIZ256_EMU_USBFS_MB"); v && *v)
        options.usbfs_memory_mb = unsigned(std::strtoul(v, nullptr, 10));
    if (const char *v = std::getenv("VIZ256_EMU_BUFFER_KIB"); v && *v)
        options.device_buffer_bytes = std::strtoull(v, nullptr, 10) * 1024;
    std::string scene = std::getenv("VIZ256_EMU_SCENE") ? std::getenv("VIZ256_EMU_SCENE") : "";
    std::vector<char *> args{argv[0]};   // the options left to Qt
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--scene") == 0) {
            if (i + 1 == argc) {
                std::fprintf(stderr, "viz256-emulated: --scene needs a file\n");
                return 2;
            }
            scene = argv[++i];
        } else {
            args.push_back(argv[i]);
        }
    }
    argc = int(args.size());
    args.push_back(nullptr);
    if (!scene.empty()) {
        try {
            options.scene = emu::Scene::load(scene);
        } catch (const emu::SceneError &e) {
            std::fprintf(stderr, "viz256-emulated: %s\n", e.what());
            return 2;
        }
    }
    emu::Recorder &recorder = emu::Recorder::start(options);   // before the program's libusb_init
    emu::Recorder::watch_testbed();

    QApplication app(argc, args.data());

    int period_ms = 5000;
    if (const char *p = std::getenv("VIZ256_EMU_TRIGGER_MS"))
        period_ms = std::atoi(p);
    QTimer trig1;
    if (period_ms > 0) {
        QObject::connect(&trig1, &QTimer::timeout, [&recorder] { recorder.fire_trigger(1); });
        trig1.start(period_ms);
    }

    const char *run_path = std::getenv("VIZ256_EMU_RUN");
    return lancement::fenetre(run_path ? QString::fromLocal8Bit(run_path) : QString());
}
