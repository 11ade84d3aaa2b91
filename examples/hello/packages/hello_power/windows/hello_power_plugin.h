#ifndef HELLO_POWER_PLUGIN_H_
#define HELLO_POWER_PLUGIN_H_

#include <flutter/encodable_value.h>
#include <flutter/event_channel.h>
#include <flutter/method_channel.h>
#include <flutter/plugin_registrar_windows.h>

#include <memory>

namespace hello_power {

// Answers "getPowerState" on the channel hello_power, and streams the power state on
// hello_power/changes: once when Dart listens, then on every power broadcast of Windows.
class HelloPowerPlugin : public flutter::Plugin {
 public:
  static void RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar);

  explicit HelloPowerPlugin(flutter::PluginRegistrarWindows* registrar);
  ~HelloPowerPlugin() override;
  HelloPowerPlugin(const HelloPowerPlugin&) = delete;
  HelloPowerPlugin& operator=(const HelloPowerPlugin&) = delete;

  void HandleMethodCall(const flutter::MethodCall<flutter::EncodableValue>& call,
                        std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result);

 private:
  flutter::PluginRegistrarWindows* registrar_;
  flutter::MethodChannel<flutter::EncodableValue> methods_;
  flutter::EventChannel<flutter::EncodableValue> changes_;
  int window_proc_id_ = -1;
  std::unique_ptr<flutter::EventSink<flutter::EncodableValue>> listener_;  // while Dart listens
};

}  // namespace hello_power

#endif  // HELLO_POWER_PLUGIN_H_
