import 'package:flutter/material.dart';
import 'package:hello_power/hello_power.dart';

void main() => runApp(const MaterialApp(home: Scaffold(body: Center(child: PowerText()))));

/// "Hello from Windows", with the machine's power state as it changes.
class PowerText extends StatelessWidget {
  const PowerText({super.key});

  @override
  Widget build(BuildContext context) => StreamBuilder<PowerState>(
        stream: HelloPower.changes,
        builder: (context, snapshot) {
          final state = snapshot.data;
          if (state == null) return const Text('Hello from Windows');
          final source = switch (state.onMains) { true => 'mains power', false => 'battery', null => 'unknown power' };
          final level = state.batteryPercent == null ? '' : ', battery at ${state.batteryPercent} %';
          return Text('Hello from Windows, on $source$level');
        },
      );
}
