// The run's meter-data decoder.
#include "app_lan_mbus.h"

#include <memory>
#include <mutex>

#include "app_json.h"
#include "app_mbus_decode.h"
#include "app_mbus_keys.h"
#include "app_meter.h"

namespace {

struct mbus_state {
  std::mutex mutex;
  app_mbus_keys keys;
  app_mbus_decoder decoder{&keys};
  app_mbus_decoded decoded;  // reused: no allocation once grown
  std::string s_scratch;
  std::atomic<bool> b_on{false};
};

mbus_state& _state() {
  static mbus_state t_state;
  return t_state;
}

}  // namespace

int app_lan_mbus_start(const char* pc_keys, std::string& s_error) {
  mbus_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  if (pc_keys != nullptr && t_state.keys.read(pc_keys, s_error) != 1) return -1;
  t_state.b_on.store(true);
  return 1;
}

bool app_lan_mbus_on() { return _state().b_on.load(std::memory_order_relaxed); }

void app_lan_mbus_members(std::span<const std::uint8_t> frame, app_json& json,
                          app_meter_data* pt_data) {
  mbus_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  const app_mbus_decoded& d = t_state.decoded;
  t_state.decoder.decode(frame, t_state.decoded);
  app_mbus_members(d, json, t_state.s_scratch);
  if (pt_data == nullptr) return;
  pt_data->b_decoded = true;
  pt_data->pc_decrypt = app_mbus_decrypt_name(d.e_decrypt);
  pt_data->s_records.clear();
  if (d.b_records && !d.records.records.empty()) {
    app_mbus_records_json(d.records.records, pt_data->s_records);
  }
}

void app_lan_mbus_forget_keys() noexcept {
  if (!app_lan_mbus_on()) return;
  mbus_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  t_state.keys.clear();
}
