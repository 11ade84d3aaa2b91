import 'package:flutter/services.dart';

/// The machine's power state: whether it runs on mains power, its battery level and whether
/// battery saver is on. Each value is null when Windows does not know it.
class PowerState {
  const PowerState({this.onMains, this.batteryPercent, this.batterySaver});

  factory PowerState.fromMap(Map<Object?, Object?> map) => PowerState(
        onMains: map['onMains'] as bool?,
        batteryPercent: map['batteryPercent'] as int?,
        batterySaver: map['batterySaver'] as bool?,
      );

  final bool? onMains;
  final int? batteryPercent;
  final bool? batterySaver;
}

class HelloPower {
  static const _methods = MethodChannel('hello_power');
  static const _changes = EventChannel('hello_power/changes');

  /// The power state now.
  static Future<PowerState> current() async =>
      PowerState.fromMap(await _methods.invokeMapMethod<Object?, Object?>('getPowerState') ?? const {});

  /// The power state now and whenever it changes.
  static Stream<PowerState> get changes =>
      _changes.receiveBroadcastStream().map((event) => PowerState.fromMap(event as Map<Object?, Object?>));
}
