#include "hello_power_plugin.h"

// The Windows SDK's spelling; the file system of a Windows machine does not mind the case.
#include <Windows.h>
#include <VersionHelpers.h>

#include <flutter/event_stream_handler_functions.h>
#include <flutter/standard_method_codec.h>

#include <optional>
#include <string>

namespace hello_power {

namespace {

using flutter::EncodableMap;
using flutter::EncodableValue;

// ACLineStatus, BatteryLifePercent and SystemStatusFlag of SYSTEM_POWER_STATUS, each null when
// Windows reports it as unknown.
EncodableValue PowerState() {
  EncodableMap state = {
      {EncodableValue("onMains"), EncodableValue()},
      {EncodableValue("batteryPercent"), EncodableValue()},
      {EncodableValue("batterySaver"), EncodableValue()},
  };
  SYSTEM_POWER_STATUS status = {};
  if (!::GetSystemPowerStatus(&status)) return EncodableValue(state);
  if (status.ACLineStatus != 255) state[EncodableValue("onMains")] = EncodableValue(status.ACLineStatus == 1);
  if (status.BatteryLifePercent != 255) {
    state[EncodableValue("batteryPercent")] = EncodableValue(static_cast<int32_t>(status.BatteryLifePercent));
  }
  // Battery saver is a Windows 10 feature.
  if (::IsWindows10OrGreater()) state[EncodableValue("batterySaver")] = EncodableValue(status.SystemStatusFlag == 1);
  return EncodableValue(state);
}

}  // namespace

void HelloPowerPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  registrar->AddPlugin(std::make_unique<HelloPowerPlugin>(registrar));
}

HelloPowerPlugin::HelloPowerPlugin(flutter::PluginRegistrarWindows* registrar)
    : registrar_(registrar),
      methods_(registrar->messenger(), "hello_power", &flutter::StandardMethodCodec::GetInstance()),
      changes_(registrar->messenger(), "hello_power/changes", &flutter::StandardMethodCodec::GetInstance()) {
  methods_.SetMethodCallHandler(
      [this](const auto& call, auto result) { HandleMethodCall(call, std::move(result)); });

  changes_.SetStreamHandler(std::make_unique<flutter::StreamHandlerFunctions<EncodableValue>>(
      [this](const EncodableValue*, std::unique_ptr<flutter::EventSink<EncodableValue>>&& events)
          -> std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> {
        listener_ = std::move(events);
        listener_->Success(PowerState());
        return nullptr;
      },
      [this](const EncodableValue*) -> std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> {
        listener_ = nullptr;
        return nullptr;
      }));

  window_proc_id_ = registrar_->RegisterTopLevelWindowProcDelegate(
      [this](HWND, UINT message, WPARAM wparam, LPARAM) -> std::optional<LRESULT> {
        if (message == WM_POWERBROADCAST && wparam == PBT_APMPOWERSTATUSCHANGE && listener_) {
          listener_->Success(PowerState());
        }
        return std::nullopt;
      });
}

HelloPowerPlugin::~HelloPowerPlugin() {
  registrar_->UnregisterTopLevelWindowProcDelegate(window_proc_id_);
  // The handlers refer to this plugin.
  methods_.SetMethodCallHandler(nullptr);
  changes_.SetStreamHandler(nullptr);
}

void HelloPowerPlugin::HandleMethodCall(const flutter::MethodCall<EncodableValue>& call,
                                        std::unique_ptr<flutter::MethodResult<EncodableValue>> result) {
  if (call.method_name() == "getPowerState") {
    result->Success(PowerState());
  } else {
    result->NotImplemented();
  }
}

}  // namespace hello_power
