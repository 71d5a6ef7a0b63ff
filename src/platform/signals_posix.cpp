// The POSIX host's signal handlers: a temporary file removed by every signal that ends the
// process, a mapped source cut short read as zeros, and a lease on the source let go when broken.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/host_posix.h"

namespace kestrox::posix {

SourceWatch g_watch;

namespace {

// A signal number that the handler below may have taken, for the table of earlier actions.
constexpr int kSignalSlots = 65;

// The actions that were in place before the handler below took each signal, and which signals it
// took. Filled before the handler is installed, read only by the handler afterwards.
struct sigaction g_earlier_actions[kSignalSlots];
bool g_caught[kSignalSlots];

// The temporary file whose name exists at this moment, if any, for the handler to remove.
std::atomic<const char*> g_pending_temporary{nullptr};

// Taken before any handler needs it.
std::uintptr_t g_page_size = 4096;

// A page of the mapping past the end of a file that was cut short raises SIGBUS when touched.
// Anonymous zero pages take the place of the rest of the mapping, the run goes on with zeros,
// and the writer and the driver see the flag before anything read since is trusted.
bool replace_lost_source_pages(void* address) {
  auto* const at = static_cast<std::uint8_t*>(address);
  std::uint8_t* const start = g_watch.mapped_start.load();
  const std::size_t length = g_watch.mapped_length.load();
  if (start == nullptr || at < start || at >= start + length) return false;
  auto* const page =
      reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(at) & ~(g_page_size - 1));
  const std::size_t rest = static_cast<std::size_t>(start + length - page);
  if (::mmap(page, rest, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
      MAP_FAILED) {
    return false;
  }
  g_watch.cut_short = 1;
  return true;
}

// The kernel tells of a lease break with the signal and a code of its own; anyone else's signal
// has a code of 0 or less. The break is noted before the lease goes, so that the other program's
// open, which waits for it, returns only once every check here sees the break.
bool let_broken_lease_go(int signal_number, const siginfo_t* info) {
  if (signal_number != kLeaseBreakSignal || info == nullptr || info->si_code <= 0) return false;
#if defined(F_SETLEASE)
  const int fd = g_watch.lease_fd;
  if (fd >= 0) {
    g_watch.lease_broken = 1;
    g_watch.lease_fd = -1;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
  }
#endif
  return true;  // and for a descriptor that holds no lease any more, nothing to do
}

bool is_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE;
}

// Removes the temporary file, then lets the signal do what it did before this handler came: a
// signal that was sent is raised again; a fault comes again by itself as soon as the instruction
// runs again, and meets the earlier action with its own details (a sanitizer's report, a core).
extern "C" void on_ending_signal(int signal_number, siginfo_t* info, void*) {
  const int saved_errno = errno;
  const bool fault = info != nullptr && info->si_code > 0 && is_fault(signal_number);
  if ((fault && signal_number == SIGBUS && replace_lost_source_pages(info->si_addr)) ||
      (!fault && let_broken_lease_go(signal_number, info))) {
    errno = saved_errno;
    return;
  }
  const struct sigaction& earlier = g_earlier_actions[signal_number];
  // Taken only for the cases above, a signal that was ignored before stays ignored.
  if (!fault && (earlier.sa_flags & SA_SIGINFO) == 0 && earlier.sa_handler == SIG_IGN) {
    errno = saved_errno;
    return;
  }
  if (const char* pending = g_pending_temporary.exchange(nullptr)) ::unlink(pending);
  ::sigaction(signal_number, &earlier, nullptr);
  if (!fault) ::raise(signal_number);  // held until this handler returns
  errno = saved_errno;
}

// Puts the handler above in place for the signal. A signal the process was started to ignore
// (nohup's SIGHUP, a background job's SIGINT) stays ignored unless `even_if_ignored`.
void catch_signal(int signal_number, bool even_if_ignored) {
  if (signal_number <= 0 || signal_number >= kSignalSlots) return;
  if (g_caught[signal_number]) {
    // Taken already, but given back to an ignoring action: taken again where it must be.
    if (!even_if_ignored) return;
    struct sigaction now;
    if (::sigaction(signal_number, nullptr, &now) != 0 ||
        ((now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == on_ending_signal)) {
      return;
    }
  }
  g_caught[signal_number] = true;
  struct sigaction action = {};
  action.sa_sigaction = on_ending_signal;
  // On the alternate stack where there is one (a sanitizer's), so that a stack overflow is still
  // met; nothing else is handled meanwhile. A call that the handler interrupts and returns to
  // (a lease break during a key wait) goes on.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigfillset(&action.sa_mask);
  // Put in place and the earlier action read in one call; where the earlier one turns out to have
  // been to ignore the signal, it goes back. Such a signal sent in the instant between is ignored
  // all the same, by way of the handler, and no temporary file exists yet.
  struct sigaction& earlier = g_earlier_actions[signal_number];
  if (::sigaction(signal_number, &action, &earlier) != 0) return;
  if (!even_if_ignored && (earlier.sa_flags & SA_SIGINFO) == 0 && earlier.sa_handler == SIG_IGN) {
    ::sigaction(signal_number, &earlier, nullptr);
  }
}

}  // namespace

std::size_t page_size() {
  static const std::size_t size = [] {
    const long got = ::sysconf(_SC_PAGESIZE);
    return got > 0 ? static_cast<std::size_t>(got) : std::size_t{4096};
  }();
  return size;
}

// Every signal that can be caught and whose default action ends the process. The console puts
// its own handlers in place for some of them only while it waits for a key, when no temporary
// file exists, and puts these back afterwards.
void remove_temporaries_on_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  static constexpr int kEnding[] = {
      SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
      SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#if defined(__linux__)
      SIGIO,  // SIGPOLL, which ends a process on Linux only
      SIGPWR,
#if defined(SIGSTKFLT)
      SIGSTKFLT,
#endif
#endif
#if defined(SIGEMT)
      SIGEMT,
#endif
  };
  for (const int signal_number : kEnding) catch_signal(signal_number, false);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    catch_signal(signal_number, false);
  }
#endif
}

void record_temporary(const char* name) { g_pending_temporary.store(name); }

void catch_bus_errors() {
  g_page_size = page_size();
  // Even where SIGBUS was ignored: the kernel would end the process for this fault regardless.
  catch_signal(SIGBUS, true);
}

void catch_lease_breaks() {
  // Even where SIGIO was ignored: a break that nobody answers holds the other program up for the
  // kernel's whole break time, and the run would not know of it.
  catch_signal(kLeaseBreakSignal, true);
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, &before_);
}

SignalsHeld::~SignalsHeld() {
  const int saved_errno = errno;
  ::sigprocmask(SIG_SETMASK, &before_, nullptr);
  errno = saved_errno;
}

}  // namespace kestrox::posix

#endif  // !_WIN32
