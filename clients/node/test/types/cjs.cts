// Compiled by the type check only: what a CommonJS host may write.
import keytap = require('keytap');

keytap.start({ noPrompt: true }).then(async (helper) => {
  await helper.unregisterAll();
  const pid: number | undefined = helper.pid;
  helper.kill('SIGKILL');
  return pid;
});
keytap.start({ extendedKeys: true, mouseButtons: true }).then((helper) => {
  helper.on('up', (event: keytap.KeyEvent) => event.alone === true);
  return helper.kill();
});
keytap.start({ capture: true }).then(async (helper) => {
  helper.once('capturing', () => console.log('press the shortcut'));
  const chord: keytap.CapturedChord = await helper.capture();
  return helper.describe(chord.accelerator);
});
keytap.start({ portal: 'org.example.App' }).then((helper) => {
  helper.on('binding', (event: keytap.BindingEvent) => event.state === 'bound' && event.trigger);
  return helper.kill();
});
keytap.start().then((helper) => {
  const gesture: keytap.Gesture = helper.gesture('F5');
  gesture.on('tap', (event: keytap.GestureEvent) => event.at);
  const name: keytap.GestureName = 'hold-start';
  return name;
});
const code: keytap.ErrorCode = 'not_available';
// @ts-expect-error: the CommonJS entry has no default export
keytap.default;
export = code;
