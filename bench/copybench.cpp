// The backup run and the pruning of the program, driven from the command line so that they
// can be timed beside cp -a and rm -rf on the same trees.
//
//   tessivar_copybench backup SOURCE DESTINATION   the manual backup, as its button runs it
//   tessivar_copybench backup-unwatched SOURCE DESTINATION   the same without its progress:
//                                                  no walk before the copy, no counting
//   tessivar_copybench backup-no-manifest SOURCE DESTINATION   the same without the checksum
//                                                  manifest beside the copy
//   tessivar_copybench prune COPY                  the pruning that deletes that copy
//   tessivar_copybench small-tree ROOT FOLDERS FILES_PER_FOLDER
//   tessivar_copybench mixed-tree ROOT
//   tessivar_copybench noise PATH MIB               another writer's data, left unwritten
//
// backup and prune run in the current folder as the task folder, with the clock standing on
// 1 January 2001 (so the copy of SOURCE is DESTINATION/<name>_010101). Each prints the seconds
// its operation took, from its first check to its catalogue row, without the start of the
// process, which the program pays once and cp or rm pay on every run.

#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
#include "engine/TaskFolder.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/WorkingFiles.h"

#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDate kBackupDay(2001, 1, 1);

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
        std::exit(2);
    }
}

class FixedDayClock : public Clock {
public:
    FixedDayClock() { Clock::setInstance(this); }
    ~FixedDayClock() override { Clock::setInstance(nullptr); }

protected:
    QDateTime now() const override { return {kBackupDay, QTime::currentTime()}; }
};

// Times the run; a run that refused or failed ends the benchmark.
template <typename Operation>
void PrintSeconds(const char* what, Operation operation) {
    RunControl control;
    RunReport report;
    const auto start = std::chrono::steady_clock::now();
    operation(control, report);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!report.refusal.isEmpty() || report.failure) {
        std::fprintf(stderr, "%s: %s\n", what,
                     report.failure.value_or(report.refusal).toUtf8().constData());
        std::exit(2);
    }
    std::printf("%.3f\n", elapsed.count());
}

void Backup(const QString& source, const QString& destination, bool watched, bool manifest) {
    PrepareTaskFolder();
    TaskSettings settings;
    settings.source = source;
    settings.destination = destination;
    Catalogue catalogue;
    PrintSeconds("backup", [&](RunControl& control, RunReport& report) {
        control.watched = watched;
        control.manifest = manifest;
        RunBackup(settings, catalogue, control, report);
    });
}

// A newer row for a copy that is gone leaves the given copy outside the newest one.
void Prune(const QString& copy) {
    PrepareTaskFolder();
    Catalogue catalogue;
    catalogue.RecordBackup(copy + QStringLiteral("-newer_010102"), kBackupDay.addDays(1));
    TaskSettings settings;
    settings.countText = QStringLiteral("1");
    settings.countValue = 1.0;
    PrintSeconds("prune", [&](RunControl& control, RunReport& report) {
        PruneBackups(settings, catalogue, control, report);
    });
    Check(::access(ToFsPath(copy).c_str(), F_OK) != 0, "prune left " + copy.toStdString());
}

void WriteFile(const std::string& path, size_t size, std::mt19937& random) {
    std::vector<char> bytes(size);
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    Check(fd >= 0, path);
    Check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), path);
    ::close(fd);
}

// Files of 1 to 8 KiB.
void SmallTree(const std::string& root, int folders, int filesPerFolder) {
    std::mt19937 random(42);
    Check(::mkdir(root.c_str(), 0755) == 0, root);
    for (int f = 0; f < folders; ++f) {
        const std::string folder = root + "/folder" + std::to_string(f);
        Check(::mkdir(folder.c_str(), 0755) == 0, folder);
        for (int i = 0; i < filesPerFolder; ++i) {
            WriteFile(folder + "/file" + std::to_string(i) + ".txt", 1024 + random() % 7169,
                      random);
        }
    }
}

void SparseFile(const std::string& path, off_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    Check(fd >= 0, path);
    for (off_t at = 0; at < size; at += 32 * 1024 * 1024) {
        Check(::pwrite(fd, "data", 4, at) == 4, path);
    }
    Check(::ftruncate(fd, size) == 0, path);
    ::close(fd);
}

// Large and middle-sized files, a few thousand small ones in nested folders, links of
// both kinds and a sparse file: what a project or home folder looks like.
void MixedTree(const std::string& root) {
    std::mt19937 random(7);
    Check(::mkdir(root.c_str(), 0755) == 0, root);
    const std::string media = root + "/media";
    Check(::mkdir(media.c_str(), 0755) == 0, media);
    for (int i = 0; i < 12; ++i) {
        WriteFile(media + "/clip" + std::to_string(i) + ".bin", (1 + i) * 1024 * 1024, random);
    }
    SparseFile(root + "/disk.img", 512 * 1024 * 1024);
    for (int a = 0; a < 10; ++a) {
        const std::string project = root + "/project" + std::to_string(a);
        Check(::mkdir(project.c_str(), 0755) == 0, project);
        for (int b = 0; b < 10; ++b) {
            const std::string module = project + "/module" + std::to_string(b);
            Check(::mkdir(module.c_str(), 0755) == 0, module);
            for (int i = 0; i < 30; ++i) {
                WriteFile(module + "/src" + std::to_string(i) + ".c", 100 + random() % 30000,
                          random);
            }
            Check(::symlink("src0.c", (module + "/main.c").c_str()) == 0, module);
            Check(::link((module + "/src1.c").c_str(), (module + "/twin.c").c_str()) == 0, module);
        }
    }
}

// Data written and not flushed, as another program leaves it.
void Noise(const std::string& path, int mebibytes) {
    std::mt19937 random(3);
    std::vector<char> chunk(1024 * 1024);
    for (char& byte : chunk) {
        byte = static_cast<char>(random());
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Check(fd >= 0, path);
    for (int i = 0; i < mebibytes; ++i) {
        chunk[0] = static_cast<char>(i);  // no two chunks alike, whatever the file system
        Check(::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size()), path);
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    FixedDayClock clock;
    const QStringList args = QCoreApplication::arguments().mid(1);
    const auto arg = [&](int i) { return args.value(i).toStdString(); };
    try {
        if (args.size() == 3 && (args[0] == u"backup" || args[0] == u"backup-unwatched" ||
                                 args[0] == u"backup-no-manifest")) {
            Backup(args[1], args[2], args[0] != u"backup-unwatched",
                   args[0] != u"backup-no-manifest");
        } else if (args.size() == 2 && args[0] == u"prune") {
            Prune(args[1]);
        } else if (args.size() == 4 && args[0] == u"small-tree") {
            SmallTree(arg(1), args[2].toInt(), args[3].toInt());
        } else if (args.size() == 2 && args[0] == u"mixed-tree") {
            MixedTree(arg(1));
        } else if (args.size() == 3 && args[0] == u"noise") {
            Noise(arg(1), args[2].toInt());
        } else {
            std::fprintf(stderr, "usage: see the head of copybench.cpp\n");
            return 1;
        }
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
