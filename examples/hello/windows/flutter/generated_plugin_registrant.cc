//
//  Generated file. Do not edit.
//

// clang-format off

#include "generated_plugin_registrant.h"

#include <hello_power/hello_power_plugin_c_api.h>

void RegisterPlugins(flutter::PluginRegistry* registry) {
  HelloPowerPluginCApiRegisterWithRegistrar(
      registry->GetRegistrarForPlugin("HelloPowerPluginCApi"));
}
