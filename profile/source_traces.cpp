#include "profile/source_traces.h"

#include "driver/common.h"
#include "driver/profilelist.h"
#include "base/raii.h"
#include "base/registry.h"
#include "base/settings.h"
#include "base/workers.h"

#include <shlwapi.h>
#include <wchar.h>
#include <wctype.h>

namespace {

const DWORD ValueNameChars = 16384; // the longest value name the registry allows, terminator included
const DWORD KeyNameChars = 256;

// Characters that end a path inside a longer text: separators, quotes, list delimiters and the
// characters a folder name cannot hold. A space or a dot can continue a folder name ("Alice Smith").
bool EndsPath(wchar_t c) {
    return c < 0x20 || wcschr(L"\\/\"';,|<>*?:", c) != nullptr;
}

// Case-insensitive search for pattern in text[0, length); accept decides whether the character after
// an occurrence (0 at the end of the text) ends it.
bool ContainsWhole(const wchar_t* text, size_t length, const wchar_t* pattern, bool (*accept)(wchar_t)) {
    size_t patternLength = wcslen(pattern);
    if (patternLength == 0 || patternLength > length) return false;
    wchar_t upper = towupper(pattern[0]), lower = towlower(pattern[0]);
    for (size_t i = 0; i + patternLength <= length; ++i) {
        if (text[i] != upper && text[i] != lower) continue;
        // _wcsnicmp stops at a null in text, which then differs from the pattern: no overrun.
        if (_wcsnicmp(text + i, pattern, patternLength) != 0) continue;
        wchar_t next = i + patternLength < length ? text[i + patternLength] : L'\0';
        if (accept(next)) return true;
    }
    return false;
}

bool EndsSid(wchar_t c) {
    return c < L'0' || c > L'9';
} // S-1-5-21-...-1001 is not S-1-5-21-...-10012

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The walk runs on two threads, the calling one and one lent (base/workers.h), which the copy of the
// folders lends again: under Wine every registry call is a round trip to the server, and on an idle
// machine most of its time is the client and the server waking each other, which calls from two
// threads overlap (a 4,000-key hive: about 3 s on one thread, 1.1 to 1.3 s on two; bench/README.md).
// More threads walk faster still (0.4 to 0.9 s on four), but each costs a Wine process about 1 MB
// for the rest of the run. A subtree is handed to the other thread only near the root, where the
// threads run short of work; deeper keys are walked where they are met.
const unsigned ScanThreads = 2;
const unsigned MostScanThreads = 16;
const unsigned HandOffDepth = 4; // keys deeper than this are never handed to another thread
// Findings kept for the sorted report; beyond this many the lines go out as they are found.
const unsigned KeptFindingsMost = 10000;
// Set by the benchmark and the tests only: the threads of the walk, "1" for the calling thread alone.
const wchar_t ScanThreadsVariable[] = L"CORVANE_SCAN_THREADS";

// A key's place in the walk: the index + 1 of each key on the way down from the root. A value adds
// 0 and its own index, so it sorts after its key's place and before every subkey's values: sorting
// findings by place gives the order a one-thread walk meets them in.
int ComparePlaces(const DWORD* a, unsigned aLength, const DWORD* b, unsigned bLength) {
    for (unsigned i = 0; i < aLength && i < bLength; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

// One debug line kept until the walk ends, in one block with its place and text.
struct Finding {
    Finding* next;
    unsigned placeLength;
    DWORD* place;
    wchar_t* line;
};

int CompareFindings(const void* a, const void* b) {
    const Finding* x = *static_cast<Finding* const*>(a);
    const Finding* y = *static_cast<Finding* const*>(b);
    return ComparePlaces(x->place, x->placeLength, y->place, y->placeLength);
}

// A subtree waiting for a thread: its open key (owned), depth, place and label path, in one block.
struct SubtreeJob {
    SubtreeJob* next;
    HKEY key;
    unsigned depth;
    DWORD* place; // depth entries
    wchar_t* path;
};

// What the threads of one walk share. The counts are changed with interlocked calls; the job list,
// the findings and the idle count under the lock.
struct SharedWalk {
    const SourceUser* user;
    const ScanLimits* limits;
    size_t pathCapacity;
    DWORD shortestMatchBytes; // the shorter of the profile path and the SID, in bytes
    unsigned threads;         // threads taking part, the calling one included
    volatile LONG keys;       // keys taken for walking, the root included
    volatile LONG named;
    volatile LONG unread;
    volatile LONG stopped;   // a key was left out for the depth or the count
    volatile LONG exhausted; // the count was reached: no thread takes another key
    volatile LONG waiting;   // jobs in the list, read without the lock to decide on a hand-off
    CRITICAL_SECTION lock;
    SubtreeJob* jobs;
    unsigned busy; // threads walking a job
    bool finished;
    UniqueHandle jobReady; // semaphore: one release per job, and one per thread at the end
    Finding* findings;
    unsigned kept;
};

// One thread's buffers.
struct Walk {
    SharedWalk* shared;
    wchar_t* path; // label\key\key..., cut back as the walk returns
    wchar_t* name; // ValueNameChars
    BYTE* data;    // limits->maxValueBytes + a terminator
    DWORD* place;  // maxDepth + 2 entries
};

// Takes one more key for walking; false (and the walk marked as stopped there) past the limit.
bool TakeKey(SharedWalk& shared) {
    if (static_cast<unsigned>(InterlockedIncrement(&shared.keys)) <= shared.limits->maxKeys) return true;
    InterlockedDecrement(&shared.keys);
    InterlockedExchange(&shared.exhausted, 1);
    InterlockedExchange(&shared.stopped, 1);
    return false;
}

// Keeps the debug line for a value at its place in the walk; sent at once when too many are kept.
void ReportValue(const wchar_t* what, Walk& walk, unsigned depth, DWORD valueIndex) {
    wchar_t line[1024];
    if (walk.name[0] == L'\0')
        FormatBounded(line, 1024, L"DEBUG: %ws: %ws (default value)", what, walk.path);
    else
        FormatBounded(line, 1024, L"DEBUG: %ws: %ws \"%ws\"", what, walk.path, walk.name);
    SharedWalk& shared = *walk.shared;
    unsigned placeLength = depth + 2;
    walk.place[depth] = 0;
    walk.place[depth + 1] = valueIndex;
    size_t lineLength = wcslen(line);
    GuardedPtr block(
        GuardedAlloc(sizeof(Finding) + placeLength * sizeof(DWORD) + (lineLength + 1) * sizeof(wchar_t)));
    EnterCriticalSection(&shared.lock);
    bool keep = block && shared.kept < KeptFindingsMost;
    if (keep) {
        Finding* finding = block.as<Finding>();
        finding->placeLength = placeLength;
        finding->place = reinterpret_cast<DWORD*>(finding + 1);
        finding->line = reinterpret_cast<wchar_t*>(finding->place + placeLength);
        memcpy(finding->place, walk.place, placeLength * sizeof(DWORD));
        wmemcpy(finding->line, line, lineLength + 1);
        finding->next = shared.findings;
        shared.findings = static_cast<Finding*>(block.release());
        ++shared.kept;
    }
    LeaveCriticalSection(&shared.lock);
    if (!keep) OutputDebugStringW(line);
}

// Gives a subtree to the other threads when they may run short of work; false: walk it here.
bool HandOff(Walk& walk, HKEY key, unsigned depth, size_t pathLength) {
    SharedWalk& shared = *walk.shared;
    if (shared.threads < 2 || depth > HandOffDepth ||
        static_cast<unsigned>(InterlockedCompareExchange(&shared.waiting, 0, 0)) >= shared.threads)
        return false;
    GuardedPtr block(
        GuardedAlloc(sizeof(SubtreeJob) + depth * sizeof(DWORD) + (pathLength + 1) * sizeof(wchar_t)));
    if (!block) return false;
    SubtreeJob* job = block.as<SubtreeJob>();
    job->key = key;
    job->depth = depth;
    job->place = reinterpret_cast<DWORD*>(job + 1);
    job->path = reinterpret_cast<wchar_t*>(job->place + depth);
    memcpy(job->place, walk.place, depth * sizeof(DWORD));
    wmemcpy(job->path, walk.path, pathLength + 1);
    EnterCriticalSection(&shared.lock);
    job->next = shared.jobs;
    shared.jobs = static_cast<SubtreeJob*>(block.release());
    InterlockedIncrement(&shared.waiting);
    LeaveCriticalSection(&shared.lock);
    ReleaseSemaphore(shared.jobReady.get(), 1, nullptr);
    return true;
}

void ScanKey(Walk& walk, HKEY key, size_t pathLength, unsigned depth) {
    SharedWalk& shared = *walk.shared;
    const ScanLimits& limits = *shared.limits;
    // Asking for the counts first spares the enumerations that would only find the end, and every
    // registry call is a round trip to the server under Wine.
    DWORD subKeys = 0, values = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        subKeys = values = MAXDWORD; // enumerate until the end instead
    else if (longestData < shared.shortestMatchBytes)
        values = 0; // no value of this key is long enough to hold the path or the SID
    for (DWORD index = 0; index < values; ++index) {
        DWORD nameLength = ValueNameChars, type = REG_NONE, bytes = limits.maxValueBytes;
        walk.name[0] = L'\0';
        LONG status = RegEnumValueW(key, index, walk.name, &nameLength, nullptr, &type, walk.data, &bytes);
        if (status == ERROR_MORE_DATA) {
            if (type == REG_NONE) RegQueryValueExW(key, walk.name, nullptr, &type, nullptr, nullptr);
            if (IsStringType(type)) {
                InterlockedIncrement(&shared.unread);
                ReportValue(L"Too large to check for the source user", walk, depth, index);
            }
            continue;
        }
        if (status != ERROR_SUCCESS) break; // the end, or an error that would repeat at every index
        if (!IsStringType(type)) continue;
        if (NamesSourceUser(reinterpret_cast<const wchar_t*>(walk.data), bytes / sizeof(wchar_t),
                            *shared.user)) {
            InterlockedIncrement(&shared.named);
            ReportValue(L"Names the source user", walk, depth, index);
        }
    }

    wchar_t subKey[KeyNameChars];
    bool skip = false;
    for (DWORD index = 0; index < subKeys && NextSubKey(key, index, subKey, KeyNameChars, &skip); ++index) {
        if (depth >= limits.maxDepth || InterlockedCompareExchange(&shared.exhausted, 0, 0) != 0) {
            InterlockedExchange(&shared.stopped, 1);
            return;
        }
        if (skip) continue; // no key name is longer than 255 characters
        if (!TakeKey(shared)) return;
        UniqueKey child;
        if (RegOpenKeyExW(key, subKey, 0, KEY_READ | HiveView, child.put()) != ERROR_SUCCESS) {
            InterlockedDecrement(&shared.keys); // not walked after all
            continue;
        }
        size_t childLength = pathLength;
        if (FormatBounded(walk.path + pathLength, shared.pathCapacity - pathLength, L"\\%ws", subKey) == S_OK)
            childLength += 1 + wcslen(subKey);
        walk.place[depth] = index + 1;
        if (HandOff(walk, child.get(), depth + 1, childLength))
            child.release(); // the job owns it now
        else
            ScanKey(walk, child.get(), childLength, depth + 1);
        walk.path[pathLength] = L'\0';
    }
}

// A thread is done with its job (or the calling thread with the root). The last one to end with
// nothing left in the list ends the walk and wakes every waiting thread.
void EndJob(SharedWalk& shared) {
    EnterCriticalSection(&shared.lock);
    --shared.busy;
    bool last = shared.busy == 0 && !shared.jobs;
    if (last) shared.finished = true;
    LeaveCriticalSection(&shared.lock);
    if (last && shared.jobReady)
        ReleaseSemaphore(shared.jobReady.get(), static_cast<LONG>(shared.threads), nullptr);
}

// Takes jobs until none is left and no thread is walking one (no more can come).
void WalkJobs(Walk& walk) {
    SharedWalk& shared = *walk.shared;
    for (;;) {
        EnterCriticalSection(&shared.lock);
        SubtreeJob* job = shared.jobs;
        if (job) {
            shared.jobs = job->next;
            InterlockedDecrement(&shared.waiting);
            ++shared.busy;
        }
        bool finished = shared.finished;
        LeaveCriticalSection(&shared.lock);
        if (!job) {
            if (finished) return;
            WaitForSingleObject(shared.jobReady.get(), INFINITE);
            continue;
        }
        GuardedPtr holder(job);
        UniqueKey key(job->key);
        memcpy(walk.place, job->place, job->depth * sizeof(DWORD));
        size_t pathLength = wcslen(job->path);
        wmemcpy(walk.path, job->path, pathLength + 1);
        ScanKey(walk, key.get(), pathLength, job->depth);
        EndJob(shared);
    }
}

// One thread's buffers in one block; false when there is no memory for them.
struct WalkBuffers {
    GuardedPtr path, name, data, place;
};

bool StartWalk(SharedWalk& shared, WalkBuffers& buffers, Walk& walk) {
    buffers.path.reset(GuardedAllocChars(shared.pathCapacity));
    buffers.name.reset(GuardedAllocChars(ValueNameChars));
    buffers.data.reset(GuardedAlloc(shared.limits->maxValueBytes + sizeof(wchar_t)));
    buffers.place.reset(GuardedAlloc((shared.limits->maxDepth + 2) * sizeof(DWORD)));
    if (!buffers.path || !buffers.name || !buffers.data || !buffers.place) return false;
    walk.shared = &shared;
    walk.path = buffers.path.chars();
    walk.name = buffers.name.chars();
    walk.data = buffers.data.as<BYTE>();
    walk.place = buffers.place.as<DWORD>();
    return true;
}

DWORD WINAPI ScanWorker(void* parameter) {
    SharedWalk& shared = *static_cast<SharedWalk*>(parameter);
    WalkBuffers buffers;
    Walk walk = {};
    // Without its buffers this thread walks nothing: a thread that hands a job off always comes
    // back for the list, so the others take every job.
    if (StartWalk(shared, buffers, walk)) WalkJobs(walk);
    return 0;
}

// The walk's threads: ScanThreads, or what the benchmark's and tests' setting asks for.
unsigned ScanThreadCount() {
    return ThreadsSetting(ScanThreadsVariable, ScanThreads, MostScanThreads);
}

// Sends the kept findings in walk order and frees them.
void SendFindings(SharedWalk& shared) {
    GuardedPtr sorted(GuardedAlloc((shared.kept ? shared.kept : 1) * sizeof(Finding*)));
    unsigned count = 0;
    for (Finding* f = shared.findings; f; f = f->next)
        if (sorted) sorted.as<Finding*>()[count++] = f;
    if (sorted) {
        qsort(sorted.get(), count, sizeof(Finding*), CompareFindings);
        for (unsigned i = 0; i < count; ++i)
            OutputDebugStringW(sorted.as<Finding*>()[i]->line);
    } else {
        for (Finding* f = shared.findings; f; f = f->next) // no memory to sort: every line still goes
            OutputDebugStringW(f->line);
    }
    while (shared.findings) {
        Finding* next = shared.findings->next;
        GuardedFree(shared.findings);
        shared.findings = next;
    }
}

// The source profile folder as a full path without a trailing backslash; empty for a drive root or
// a path that cannot be made full.
void FullProfilePath(const wchar_t* sourcePath, wchar_t* full) {
    full[0] = L'\0';
    DWORD length = GetFullPathNameW(sourcePath, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        full[0] = L'\0';
        return;
    }
    while (length > 0 && full[length - 1] == L'\\')
        full[--length] = L'\0';
    if (length <= 2) full[0] = L'\0'; // "C:" would name every path on the drive
}

// The class hive that the run saved into the default profile, mounted read-only in spirit (nothing
// is written) under a free name, scanned, and unmounted. Returns the values found.
unsigned ScanSavedClassHive(const wchar_t* mountName, const wchar_t* defaultPath, const SourceUser& user) {
    // The place the in-use path saves the class hive to; only that path writes one in this run.
    wchar_t file[MAX_PATH], classMount[MAX_PATH];
    if (FormatBounded(file, MAX_PATH,
                      L"%ws\\Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat",
                      defaultPath) != S_OK ||
        FormatBounded(classMount, MAX_PATH, L"%ws_Classes", mountName) != S_OK)
        return 0;
    // No file there: the hive came as a file and no class hive was saved. (Asked first because a load
    // must not be what creates a hive file.)
    if (GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES) return 0;
    {
        UniqueKey taken;
        if (RegOpenKeyExW(HKEY_USERS, classMount, 0, KEY_READ, taken.put()) == ERROR_SUCCESS) {
            DebugPrint(L"DEBUG: The class hive was not checked for the source user: %ws is in use",
                       classMount);
            return 0;
        }
    }
    LONG loaded = RegLoadKeyW(HKEY_USERS, classMount, file);
    if (loaded != ERROR_SUCCESS) {
        DebugPrint(L"DEBUG: The class hive was not checked for the source user. Error %u",
                   static_cast<DWORD>(loaded));
        return 0;
    }
    unsigned named = 0;
    {
        UniqueKey root;
        if (RegOpenKeyExW(HKEY_USERS, classMount, 0, KEY_READ | HiveView, root.put()) == ERROR_SUCCESS)
            named = ScanForSourceUser(root.get(), L"UsrClass.dat", user, DefaultScanLimits).named;
    }
    RegUnLoadKeyW(HKEY_USERS, classMount);
    return named;
}

} // namespace

bool NamesSourceUser(const wchar_t* text, size_t length, const SourceUser& user) {
    return (user.profilePath[0] != L'\0' && ContainsWhole(text, length, user.profilePath, EndsPath)) ||
           (user.sidString[0] != L'\0' && ContainsWhole(text, length, user.sidString, EndsSid));
}

bool ProfileRelativeFolder(const wchar_t* folder, const wchar_t* profilePath, wchar_t* relative,
                           size_t capacity) {
    size_t length = wcslen(profilePath);
    if (length == 0 || _wcsnicmp(folder, profilePath, length) != 0) return false;
    if (folder[length] != L'\0' && folder[length] != L'\\') return false; // C:\Users\Alice2 is not inside
    return FormatBounded(relative, capacity, L"%%USERPROFILE%%%ws", folder + length) == S_OK;
}

unsigned RemoveUserChoices(const wchar_t* mountName) {
    const wchar_t* const parents[] = {
        L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts",
        L"%ws\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations",
    };
    unsigned removed = 0;
    for (const wchar_t* parentTemplate : parents) {
        UniqueKey parent = OpenMountedKey(parentTemplate, mountName, KEY_READ);
        if (!parent) continue;
        wchar_t name[KeyNameChars];
        bool skip = false;
        // Deleting below a child leaves the parent's list of children, and so the index, as it was.
        for (DWORD index = 0; NextSubKey(parent.get(), index, name, KeyNameChars, &skip); ++index) {
            if (skip) continue;
            UniqueKey child;
            if (RegOpenKeyExW(parent.get(), name, 0, KEY_ALL_ACCESS | HiveView, child.put()) != ERROR_SUCCESS)
                continue;
            DWORD status = SHDeleteKeyW(child.get(), L"UserChoice");
            if (status == ERROR_SUCCESS)
                ++removed;
            else if (status != ERROR_FILE_NOT_FOUND)
                DebugPrint(L"DEBUG: Cannot remove the UserChoice key of %ws. Error %u", name, status);
        }
    }
    return removed;
}

unsigned RelativizeUserShellFolders(const wchar_t* mountName, const wchar_t* profilePath) {
    UniqueKey folders =
        OpenMountedKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                       mountName, KEY_ALL_ACCESS);
    if (!folders || profilePath[0] == L'\0') return 0;
    GuardedPtr name(GuardedAllocChars(ValueNameChars));
    if (!name) return 0;
    unsigned rewritten = 0;
    for (DWORD index = 0;; ++index) {
        // A folder location is a path; a longer value is no folder this step can rewrite.
        wchar_t data[1024] = {};
        wchar_t relative[1024];
        DWORD nameLength = ValueNameChars, type = REG_NONE, bytes = sizeof data - sizeof(wchar_t);
        LONG status = RegEnumValueW(folders.get(), index, name.chars(), &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &bytes);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) break;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        data[bytes / sizeof(wchar_t)] = L'\0'; // stored without a terminator, or with an odd count
        if (!ProfileRelativeFolder(data, profilePath, relative, 1024)) continue;
        // Setting an existing value keeps its place in the list, so the index walk goes on unchanged.
        if (RegSetValueExW(folders.get(), name.chars(), 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(relative),
                           static_cast<DWORD>((wcslen(relative) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS)
            ++rewritten;
    }
    return rewritten;
}

ScanResult ScanForSourceUser(HKEY root, const wchar_t* label, const SourceUser& user,
                             const ScanLimits& limits) {
    SharedWalk shared = {};
    shared.user = &user;
    shared.limits = &limits;
    shared.pathCapacity = wcslen(label) + (limits.maxDepth + 1) * KeyNameChars + 1;
    size_t shortest = MAXDWORD / sizeof(wchar_t);
    if (user.profilePath[0] != L'\0') shortest = wcslen(user.profilePath);
    if (user.sidString[0] != L'\0' && wcslen(user.sidString) < shortest) shortest = wcslen(user.sidString);
    shared.shortestMatchBytes = static_cast<DWORD>(shortest * sizeof(wchar_t));
    shared.threads = 1;
    InitializeCriticalSection(&shared.lock);
    auto deleteLock = MakeScopeExit([&shared] { DeleteCriticalSection(&shared.lock); });

    ScanResult result = {};
    WalkBuffers buffers;
    Walk walk = {};
    if (!StartWalk(shared, buffers, walk)) {
        DebugPrint(L"DEBUG: %ws was not checked for the source user: no memory", label);
        return result;
    }
    wcscpy(walk.path, label);
    shared.keys = 1; // the root

    // The other threads, lent before the walk so that the first subtrees find them waiting.
    WorkerLease leases[MostScanThreads];
    unsigned lent = 0, wanted = ScanThreadCount();
    if (wanted > 1) shared.jobReady.reset(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr));
    while (lent + 1 < wanted && shared.jobReady && LendWorker(ScanWorker, &shared, &leases[lent]))
        ++lent;
    shared.threads = lent + 1;

    ++shared.busy; // the root, walked here; its subtrees may go to the others
    ScanKey(walk, root, wcslen(label), 0);
    EndJob(shared);
    if (lent) WalkJobs(walk);
    for (unsigned i = 0; i < lent; ++i)
        AwaitWorker(leases[i]);

    SendFindings(shared);
    result.named = static_cast<unsigned>(shared.named);
    result.keys = static_cast<unsigned>(shared.keys);
    result.unread = static_cast<unsigned>(shared.unread);
    result.stoppedAtLimit = shared.stopped != 0;
    if (result.stoppedAtLimit)
        DebugPrint(L"DEBUG: The check of %ws for the source user stopped at %u keys or %u levels", label,
                   limits.maxKeys, limits.maxDepth);
    return result;
}

void CleanSourceUserTraces(const wchar_t* mountName, const wchar_t* sourcePath, const wchar_t* sidString,
                           const wchar_t* defaultPath, const VersionClasses& classes) {
    wchar_t profile[MAX_PATH];
    FullProfilePath(sourcePath, profile);
    // Windows rejects a default-app choice made for another user and resets it at every new user's
    // first sign-in, with a notice; before Windows 8 the choices carry no such hash.
    if (classes.windows8OrLater) RemoveUserChoices(mountName);
    RelativizeUserShellFolders(mountName, profile);

    SourceUser user = {profile, sidString};
    unsigned named = 0;
    {
        UniqueKey root;
        if (RegOpenKeyExW(HKEY_USERS, mountName, 0, KEY_READ | HiveView, root.put()) == ERROR_SUCCESS)
            named = ScanForSourceUser(root.get(), L"NTUSER.DAT", user, DefaultScanLimits).named;
    }
    named += ScanSavedClassHive(mountName, defaultPath, user);
    if (named != 0)
        ConsolePrint(
            L"%u registry values of the new default profile still name %ws; see the debug output.\r\n", named,
            profile[0] != L'\0' ? profile : sourcePath);
}
