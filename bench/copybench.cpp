// The copier and remover of the backup run, driven from the command line so that they can be
// timed beside cp -a and rm -rf on the same trees.
//
//   tessivar_copybench copy SOURCE TARGET [WORKERS]
//   tessivar_copybench remove PATH
//   tessivar_copybench small-tree ROOT FOLDERS FILES_PER_FOLDER
//   tessivar_copybench mixed-tree ROOT
//
// copy and remove print the seconds the operation itself took, without the start of the
// process, which the program pays once and cp or rm pay on every run.

#include "platform/Error.h"
#include "platform/TreeCopy.h"
#include "platform/TreeRemove.h"

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

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
        std::exit(2);
    }
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

void SmallTree(const std::string& root, int folders, int filesPerFolder) {
    std::mt19937 random(42);
    Check(::mkdir(root.c_str(), 0755) == 0, root);
    for (int f = 0; f < folders; ++f) {
        const std::string folder = root + "/folder" + std::to_string(f);
        Check(::mkdir(folder.c_str(), 0755) == 0, folder);
        for (int i = 0; i < filesPerFolder; ++i) {
            WriteFile(folder + "/file" + std::to_string(i) + ".txt", 200 + random() % 3800, random);
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

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        const auto start = std::chrono::steady_clock::now();
        auto printElapsed = [&] {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            std::printf("%.3f\n", elapsed.count());
        };
        if (args.size() >= 3 && args[0] == "copy") {
            CopyTree(args[1], args[2], args.size() > 3 ? std::atoi(args[3].c_str()) : 0);
            printElapsed();
        } else if (args.size() == 2 && args[0] == "remove") {
            const std::error_code error = RemoveTree(args[1]);
            Check(!error, args[1] + ": " + error.message());
            printElapsed();
        } else if (args.size() == 4 && args[0] == "small-tree") {
            SmallTree(args[1], std::atoi(args[2].c_str()), std::atoi(args[3].c_str()));
        } else if (args.size() == 2 && args[0] == "mixed-tree") {
            MixedTree(args[1]);
        } else {
            std::fprintf(stderr, "usage: see the head of copybench.cpp\n");
            return 1;
        }
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    return 0;
}
