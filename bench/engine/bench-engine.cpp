// Measures what playing N file streams costs: the engine decodes and mixes them on the
// "No sound" device (which runs in real time) for a fixed time; beside it, N ffmpeg processes
// decode the same file at real-time pace (-re) to nowhere. Each configuration runs in a child
// process of its own so that the peak memory is that configuration's.
//
//   bench-engine [--seconds S] [--file FILE] [--streams 1,8,32]
//
// Without --file a 128 kbit/s MP3 with music-like content is generated with ffmpeg.

#include <bass.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

double cpuSeconds(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

pid_t spawn(const std::vector<std::string> &args, bool quiet)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Child: plays N streams for S seconds; prints "cpu_seconds peak_rss_kib underruns".
int runEngine(int streams, double seconds, const char *file)
{
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "init failed: %d\n", BASS_ErrorGetCode());
        return 1;
    }
    std::vector<HSTREAM> handles;
    for (int i = 0; i < streams; ++i) {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, file, 0, 0, 0);
        if (!h || !BASS_ChannelPlay(h, FALSE)) {
            std::fprintf(stderr, "stream %d failed: %d\n", i, BASS_ErrorGetCode());
            return 1;
        }
        handles.push_back(h);
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    int stalled = 0;
    for (HSTREAM h : handles)
        stalled += BASS_ChannelIsActive(h) != BASS_ACTIVE_PLAYING;
    BASS_Free();
    std::printf("%.4f %ld %d\n", cpuSeconds(after) - cpuSeconds(before), after.ru_maxrss, stalled);
    return 0;
}

struct Result
{
    double cpu = 0;  // seconds
    long rssKib = 0; // peak resident memory
    int problems = 0;
};

Result measureEngine(const std::string &self, int streams, double seconds, const std::string &file)
{
    Result r;
    const std::string out = "/tmp/bench-engine-" + std::to_string(getpid()) + ".txt";
    const std::string cmd = "'" + self + "' --child " + std::to_string(streams) + " " +
                            std::to_string(seconds) + " '" + file + "' > " + out;
    if (std::system(cmd.c_str()) != 0) {
        r.problems = -1;
        return r;
    }
    if (FILE *f = std::fopen(out.c_str(), "r")) {
        if (std::fscanf(f, "%lf %ld %d", &r.cpu, &r.rssKib, &r.problems) != 3)
            r.problems = -1;
        std::fclose(f);
    }
    std::remove(out.c_str());
    return r;
}

Result measureFfmpeg(int streams, double seconds, const std::string &file)
{
    Result r;
    std::vector<pid_t> pids;
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", seconds);
    for (int i = 0; i < streams; ++i) {
        const pid_t pid = spawn(
            {"ffmpeg", "-nostdin", "-v", "error", "-re", "-i", file, "-t", t, "-f", "null", "-"},
            true);
        if (pid < 0)
            ++r.problems;
        else
            pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        rusage u{};
        if (wait4(pid, &status, 0, &u) == pid) {
            r.cpu += cpuSeconds(u);
            r.rssKib += u.ru_maxrss;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ++r.problems;
        }
    }
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
        return runEngine(std::atoi(argv[2]), std::atof(argv[3]), argv[4]);

    double seconds = 10;
    std::string file;
    std::vector<int> counts{1, 8, 32};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (opt == "--file")
            file = argv[i + 1];
        else if (opt == "--streams") {
            counts.clear();
            for (char *p = std::strtok(argv[i + 1], ","); p; p = std::strtok(nullptr, ","))
                counts.push_back(std::atoi(p));
        }
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;

    std::string generated;
    if (file.empty()) {
        char dir[] = "/tmp/bench-engine-XXXXXX";
        if (!mkdtemp(dir))
            return 1;
        generated = dir;
        file = generated + "/music.mp3";
        // A chord over pink noise: a spectrum closer to music than a single tone.
        const std::string duration = std::to_string(int(seconds) + 5);
        const pid_t pid = spawn(
            {"ffmpeg",
             "-nostdin",
             "-v",
             "error",
             "-y",
             "-f",
             "lavfi",
             "-i",
             "anoisesrc=color=pink:amplitude=0.2:duration=" + duration,
             "-f",
             "lavfi",
             "-i",
             "aevalsrc=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277*t)+0.1*sin(2*PI*330*t):d=" + duration,
             "-filter_complex",
             "amix=inputs=2,aformat=channel_layouts=stereo",
             "-ar",
             "44100",
             "-c:a",
             "libmp3lame",
             "-b:a",
             "128k",
             file},
            false);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "could not generate the test file with ffmpeg\n");
            return 1;
        }
    }

    std::printf("bench-engine: %s, %.0f s per run, %u cores\n", file.c_str(), seconds,
                std::thread::hardware_concurrency());
    std::printf("%4s | %14s %14s %7s | %12s %12s | %s\n", "N", "engine cpu s/", "ffmpeg cpu s/",
                "ratio", "engine peak", "ffmpeg peak", "notes");
    std::printf("%4s | %14s %14s %7s | %12s %12s |\n", "", "stream-min", "stream-min", "",
                "RSS MiB", "RSS MiB (sum)");
    for (int n : counts) {
        const Result e = measureEngine(self, n, seconds, file);
        const Result f = measureFfmpeg(n, seconds, file);
        const double streamMinutes = n * seconds / 60.0;
        const double ec = e.cpu / streamMinutes;
        const double fc = f.cpu / streamMinutes;
        std::string notes;
        if (e.problems)
            notes += std::to_string(e.problems) + " engine stream(s) not playing; ";
        if (f.problems)
            notes += std::to_string(f.problems) + " ffmpeg run(s) failed";
        std::printf("%4d | %14.4f %14.4f %7.2f | %12.1f %12.1f | %s\n", n, ec, fc,
                    fc > 0 ? ec / fc : 0.0, e.rssKib / 1024.0, f.rssKib / 1024.0, notes.c_str());
        std::fflush(stdout);
    }
    if (!generated.empty()) {
        std::remove(file.c_str());
        rmdir(generated.c_str());
    }
    return 0;
}
