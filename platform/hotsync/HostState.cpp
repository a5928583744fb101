#include "platform/hotsync/HostState.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"

namespace tolvex::host {
namespace {

std::string statePath() { return hotsyncHomeFile("hotsync.ini"); }

wxString actionGroup(const std::string& creator) { return wxString::FromUTF8("/action/" + creator); }

uint32_t randomId() {
  uint32_t id = 0;
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (::read(fd, &id, sizeof id) != sizeof id) id = 0;
    ::close(fd);
  }
  if (id == 0) id = std::random_device()();
  return id == 0 ? 1 : id;
}

}  // namespace

uint32_t HostState::desktopId() {
  auto config = loadIni(statePath());
  if (!config) return 0;
  wxString text;
  if (config->Read("/host/desktop_id", &text)) {
    unsigned long id = 0;
    if (text.ToULong(&id) && id != 0 && id <= UINT32_MAX) return static_cast<uint32_t>(id);
  }
  uint32_t id = randomId();
  config->Write("/host/desktop_id", wxString::Format("%u", id));
  return saveIni(*config, statePath()) ? id : 0;
}

bool HostState::defaultConduitRegistered() {
  auto config = loadIni(statePath());
  return config && config->ReadBool("/host/default_conduit_registered", false);
}

void HostState::setDefaultConduitRegistered() {
  auto config = loadIni(statePath());
  if (!config) return;
  config->Write("/host/default_conduit_registered", true);
  saveIni(*config, statePath());
}

HotSyncAction HostState::action(const std::string& creator) {
  HotSyncAction action;
  auto config = loadIni(statePath());
  if (!config) return action;
  long value = 0;
  if (config->Read(actionGroup(creator) + "/permanent", &value)) action.permanent = static_cast<int32_t>(value);
  if (config->Read(actionGroup(creator) + "/next_time_only", &value)) {
    action.nextTimeOnly = static_cast<int32_t>(value);
  }
  return action;
}

bool HostState::setAction(const std::string& creator, const HotSyncAction& action) {
  auto config = loadIni(statePath());
  if (!config) return false;
  config->Write(actionGroup(creator) + "/permanent", static_cast<long>(action.permanent));
  if (action.nextTimeOnly) {
    config->Write(actionGroup(creator) + "/next_time_only", static_cast<long>(*action.nextTimeOnly));
  } else {
    config->DeleteEntry(actionGroup(creator) + "/next_time_only", false);
  }
  return saveIni(*config, statePath());
}

std::optional<int32_t> HostState::takeAction(const std::string& creator) {
  HotSyncAction stored = action(creator);
  if (!stored.nextTimeOnly) return stored.permanent;
  int32_t type = *stored.nextTimeOnly;
  stored.nextTimeOnly.reset();
  if (!setAction(creator, stored)) return std::nullopt;
  return type;
}

std::string HostState::lastUser() {
  auto config = loadIni(statePath());
  wxString name;
  return config && config->Read("/host/last_user", &name) ? name.utf8_string() : std::string();
}

void HostState::setLastUser(const std::string& name) {
  auto config = loadIni(statePath());
  if (!config || name.empty()) return;
  wxString value = wxString::FromUTF8(name.data(), name.size());
  wxString old;
  if (config->Read("/host/last_user", &old) && old == value) return;
  config->Write("/host/last_user", value);
  saveIni(*config, statePath());
}

}  // namespace tolvex::host
