'''A portal, as a python-dbusmock template, that answers CreateSession with whatever session
handle its "session_handle" parameter names, or with none where it names none: what a broken
or hostile portal could send.'''

import dbus
from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.GlobalShortcuts'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.session_handle = parameters['session_handle']
    mock.sessions_asked = 0


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender):
    self.sessions_asked += 1
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (
        sender[1:].replace('.', '_'), options['handle_token'])
    if self.session_handle is None:
        return dbus.ObjectPath(path)
    response = dbus.lowlevel.SignalMessage(path, 'org.freedesktop.portal.Request', 'Response')
    response.set_destination(sender)
    response.append(dbus.UInt32(0),
                    {'session_handle': dbus.String(self.session_handle, variant_level=1)},
                    signature='ua{sv}')
    self.connection.send_message(response)
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def SessionsAsked(self):
    return self.sessions_asked
