#include "include/hello_power/hello_power_plugin_c_api.h"

#include <flutter/plugin_registrar_windows.h>

#include "hello_power_plugin.h"

void HelloPowerPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  hello_power::HelloPowerPlugin::RegisterWithRegistrar(
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<flutter::PluginRegistrarWindows>(registrar));
}
