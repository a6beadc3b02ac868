#include "core/util/mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

// The guard's table of mappings. Slots are taken and given back under the lock; the signal
// handler only reads them, with atomic loads.
struct tGuardSlot {
  std::atomic<uintptr_t> begin{0};  // 0: free
  std::atomic<size_t> length{0};
  std::atomic<int> faulted{0};
};
constexpr int kGuardSlots = 4096;
tGuardSlot g_slots[kGuardSlots];
std::mutex g_slotLock;
std::atomic<long> g_pageSize{0};

int Register(const char* data, size_t size) {
  std::lock_guard<std::mutex> lock(g_slotLock);
  for (int slot = 0; slot < kGuardSlots; ++slot) {
    if (g_slots[slot].begin.load(std::memory_order_relaxed) != 0) continue;
    g_slots[slot].faulted.store(0);
    g_slots[slot].length.store(size);
    g_slots[slot].begin.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
    return slot;
  }
  return -1;  // a full table: this mapping is not guarded
}

// A read past the end of a mapped file: the page is replaced by a page of zeros, the mapping
// is marked, and the read is done again on the zeros. Anything else keeps the default action.
void OnBusError(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const long pageSize = g_pageSize.load(std::memory_order_relaxed);
  for (tGuardSlot& slot : g_slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address - begin >= slot.length.load()) continue;
    void* page = reinterpret_cast<void*>(address & ~static_cast<uintptr_t>(pageSize - 1));
    if (pageSize > 0 && ::mmap(page, static_cast<size_t>(pageSize), PROT_READ,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.faulted.store(1);
      return;
    }
    break;
  }
  ::signal(SIGBUS, SIG_DFL);  // the read is done again and ends the process
}

}  // namespace

void InstallMappedFileGuard() {
  g_pageSize.store(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;
  ::sigaction(SIGBUS, &action, nullptr);
}

CMappedFile::~CMappedFile() {
  Unregister();
  if (m_mapped) ::munmap(const_cast<char*>(m_data), m_size);
}

void CMappedFile::Unregister() {
  if (m_slot < 0) return;
  std::lock_guard<std::mutex> lock(g_slotLock);
  g_slots[m_slot].begin.store(0, std::memory_order_release);
  m_slot = -1;
}

bool CMappedFile::faulted() const {
  return m_slot >= 0 && g_slots[m_slot].faulted.load(std::memory_order_relaxed) != 0;
}

bool CMappedFile::Map(const char* path, bool faultIn) {
  static const char kEmpty[1] = {0};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return false;
  }
  const size_t size = static_cast<size_t>(status.st_size);
  void* data = const_cast<char*>(kEmpty);
  if (size > 0) {
    data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (faultIn ? MAP_POPULATE : 0), fd, 0);
    if (data == MAP_FAILED) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);  // the mapping keeps the file
  Unregister();
  if (m_mapped) ::munmap(const_cast<char*>(m_data), m_size);
  m_data = static_cast<const char*>(data);
  m_size = size;
  m_mapped = size > 0;
  if (m_mapped) m_slot = Register(m_data, m_size);
  return true;
}
