// Shared by the fuzz targets: a scratch folder per process where inputs
// become files (the reader opens archives by path), a watch that turns
// memory or work beyond the reader's cost bound into a crash, and one
// routine that drives a mounted archive through the whole CFile interface.
#ifndef FUZZ_SUPPORT_H_
#define FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Makes a fresh folder for this process (in /dev/shm when it can, for
// speed), makes it the working directory and removes it at exit. Idempotent.
void EnterScratch();

// Writes size bytes as the file name in the scratch folder.
void PutFile(const std::string& name, const uint8_t* data, size_t size);
// Removes name from the scratch folder if it is there.
void RemoveFile(const std::string& name);

// Prints why and aborts, so that libFuzzer keeps the input as a finding.
[[noreturn]] void Fail(const char* why, const std::string& detail);

// While alive, holds every allocation to the cost bound for mounting files
// of `bytes` bytes in `files` files: the bytes live at any moment above
// those live at construction at most 8 x bytes + 16 MiB per file, and the
// bytes allocated in all (a stand-in for the work done, so work that grows
// faster than the input shows up at fuzzing sizes) at most 64 x bytes +
// 64 MiB per file. The moment either is passed the process aborts.
// Watches do not nest.
class CostWatch {
public:
    CostWatch(const char* what, uint64_t bytes, unsigned files = 1);
    ~CostWatch();
    CostWatch(const CostWatch&) = delete;
    CostWatch& operator=(const CostWatch&) = delete;
};

// Mounts path alone (no volumes) under a CostWatch unless it is mounted
// already, and checks the reader's contracts on what it registered.
// True when the mount failed.
bool MountWatched(const std::string& path, uint64_t bytes);

// Lists path (mounted before), opens up to 16 of its entries by
// name and reads, seeks, tells and clones each, aborting on any broken
// contract: a read past an entry's end, a clone that reads other bytes, an
// entry that cannot be opened again by its own path, a folder opened as a
// file.
void ExerciseEntries(const std::string& path);

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H_
