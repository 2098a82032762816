#include "packages/ProcessTree.h"

#include "util/FileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace {

std::vector<pid_t> listCgroup(const std::string& directory)
{
  std::vector<pid_t> pids;
  const std::string text = FileUtils::readFile(directory + "/cgroup.procs");
  const char* cursor = text.c_str();
  char* end;
  for (long pid = std::strtol(cursor, &end, 10); end != cursor; pid = std::strtol(cursor, &end, 10)) {
    pids.push_back(static_cast<pid_t>(pid));
    cursor = end;
  }
  return pids;
}

} // namespace

ProcessInfo ProcessInfo::read(pid_t pid)
{
  ProcessInfo info;
  const std::string stat = FileUtils::readFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name, in parentheses, may hold blanks and parentheses itself: the fields
  // are counted from the last ")", which ends field 2.
  const size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 >= stat.size()) {
    return info;
  }
  const char* cursor = stat.c_str() + end + 2;
  info.state = *cursor++;
  char* next;
  // Fields 4 to 24: ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime
  // stime cutime cstime priority nice num_threads itrealvalue starttime vsize rss.
  uint64_t fields[21] = {};
  for (uint64_t& field : fields) {
    field = std::strtoull(cursor, &next, 10);
    if (next == cursor) {
      return info;
    }
    cursor = next;
  }
  info.parent = static_cast<pid_t>(fields[0]);
  info.group = static_cast<pid_t>(fields[1]);
  info.session = static_cast<pid_t>(fields[2]);
  info.threads = fields[16];
  info.startTime = fields[18];
  info.residentPages = fields[20];
  info.valid = true;
  return info;
}

std::vector<pid_t> ProcessInfo::all()
{
  std::vector<pid_t> pids;
  DIR* directory = opendir("/proc");
  if (directory == nullptr) {
    return pids;
  }
  while (const dirent* entry = readdir(directory)) {
    char* end;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) {
      pids.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(directory);
  return pids;
}

ProcessTree::ProcessTree(pid_t groupId, std::string cgroupDirectory)
    : group(groupId), cgroupDirectory(std::move(cgroupDirectory))
{
}

std::vector<std::pair<pid_t, ProcessInfo>> ProcessTree::live() const
{
  std::set<pid_t> found;
  for (pid_t pid : cgroupMembers()) {
    found.insert(pid);
  }
  std::vector<std::pair<pid_t, ProcessInfo>> alive;
  // Outside the cgroup (or without one), what is still in the group.
  for (pid_t pid : ProcessInfo::all()) {
    const ProcessInfo info = ProcessInfo::read(pid);
    if ((info.group == group || found.count(pid) != 0) && info.alive()) {
      alive.emplace_back(pid, info);
    }
  }
  return alive;
}

std::vector<pid_t> ProcessTree::members() const
{
  std::vector<pid_t> pids;
  for (const auto& member : live()) {
    pids.push_back(member.first);
  }
  return pids;
}

std::vector<pid_t> ProcessTree::cgroupMembers() const
{
  return cgroupDirectory.empty() ? std::vector<pid_t>() : listCgroup(cgroupDirectory);
}

void ProcessTree::signal(int signal) const
{
  bool groupSeen = false;
  for (const auto& [pid, info] : live()) {
    groupSeen = groupSeen || info.group == group;
    // What left the group is reached in its cgroup, one by one.
    if (info.group != group) {
      ::kill(pid, signal);
    }
  }
  // Only while a process of the group was just seen is the group's id still its own.
  if (groupSeen) {
    ::kill(-group, signal);
  }
}

void ProcessTree::kill() const
{
  if (!cgroupDirectory.empty()) {
    // Ends the cgroup as a whole, those that left the group with setsid() included; the
    // kernels without cgroup.kill are left to the signals below.
    FileUtils::writeControlFile(cgroupDirectory + "/cgroup.kill", "1");
  }
  signal(SIGKILL);
}

uint64_t ProcessTree::residentKib() const
{
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t pages = 0;
  for (const auto& member : live()) {
    pages += member.second.residentPages;
  }
  return pages * static_cast<uint64_t>(pageSize > 0 ? pageSize : 4096) / 1024;
}
