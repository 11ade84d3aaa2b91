#ifndef HELLO_POWER_PLUGIN_C_API_H_
#define HELLO_POWER_PLUGIN_C_API_H_

#include <flutter_plugin_registrar.h>

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __declspec(dllexport)
#else
#define FLUTTER_PLUGIN_EXPORT __declspec(dllimport)
#endif

#if defined(__cplusplus)
extern "C" {
#endif

// Called by the app's generated plugin registrant.
FLUTTER_PLUGIN_EXPORT void HelloPowerPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}
#endif

#endif  // HELLO_POWER_PLUGIN_C_API_H_
