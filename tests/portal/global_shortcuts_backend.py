'''A desktop's GlobalShortcuts backend for xdg-desktop-portal, as a python-dbusmock template.

The real portal frontend talks to it as to GNOME's or KDE's backend: it binds once per session,
as GNOME does, says what changed before it answers a bind, as GNOME 48 does, lists what earlier
sessions bound, as KDE does, and keeps a shortcut without keys listed with an empty trigger, as
both do; KEYTAP_BACKEND_NAME gives it
the bus name of a desktop's backend. The tests steer it through the mock interface: press and
release a shortcut, change its trigger, close the session, and set how the next binds are
answered.
'''

import os

import dbus
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = os.environ.get('KEYTAP_BACKEND_NAME', 'org.freedesktop.impl.portal.desktop.keytaptest')
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.impl.portal.GlobalShortcuts'
SESSION_IFACE = 'org.freedesktop.impl.portal.Session'
SYSTEM_BUS = False


def _shortcut_list(bound):
    return dbus.Array([(name, {'description': '', 'trigger_description': trigger})
                       for name, trigger in bound.items()], signature='(sa{sv})')


def _create_session(self, _handle, session_handle, app_id, _options):
    if self.refusing_sessions:
        return (dbus.UInt32(2), {})
    self.app_ids.append(app_id)
    self.session = session_handle
    self.AddObject(session_handle, SESSION_IFACE, {}, [('Close', '', '', _close_session)])
    return (dbus.UInt32(0), {'session_handle': session_handle})


def _close_session(session):
    backend = mockobject.objects[MAIN_OBJ]
    backend.bound_sessions.discard(session.path)
    backend.RemoveObject(session.path)


@dbus.service.method(MAIN_IFACE, in_signature='ooa(sa{sv})sa{sv}', out_signature='ua{sv}',
                     async_callbacks=('answer', 'fail'))
def BindShortcuts(self, _handle, session, shortcuts, _parent, _options, answer, fail):
    del fail
    if session in self.bound_sessions:
        answer(dbus.UInt32(2), {})  # "Session already has bound shortcuts"
        return
    self.bound_sessions.add(session)
    self.binds += 1
    self.last_bind = [str(name) for name, _ in shortcuts]
    if self.holding:
        return  # a dialog nobody closes
    if self.response == 1:
        answer(dbus.UInt32(1), {})
        return
    for name, properties in shortcuts:
        preferred = str(properties.get('preferred_trigger', ''))
        refused = name in self.refused
        self.bound[name] = '' if refused else self.triggers.get(name, 'Press ' + preferred)
    self.EmitSignal(MAIN_IFACE, 'ShortcutsChanged', 'oa(sa{sv})',
                    [dbus.ObjectPath(session), _shortcut_list(self.bound)])
    answer(dbus.UInt32(self.response), {'shortcuts': _shortcut_list(self.bound)})
    if self.closing_after_bind:  # as a backend that fails behind the answer would
        mockobject.objects[session].EmitSignal(SESSION_IFACE, 'Closed', '', [])
        _close_session(mockobject.objects[session])


def _list_shortcuts(self, _handle, _session):
    return (dbus.UInt32(0), {'shortcuts': _shortcut_list(self.bound)})


def load(mock, _parameters):
    mock.app_ids = []
    mock.session = ''
    mock.bound = {}
    mock.binds = 0
    mock.bound_sessions = set()
    mock.last_bind = []
    mock.response = 0
    mock.refused = set()
    mock.triggers = {}
    mock.holding = False
    mock.refusing_sessions = False
    mock.closing_after_bind = False
    mock.AddProperty(MAIN_IFACE, 'version', dbus.UInt32(1))
    mock.AddMethods(MAIN_IFACE, [
        ('CreateSession', 'oosa{sv}', 'ua{sv}', _create_session),
        ('ListShortcuts', 'oo', 'ua{sv}', _list_shortcuts),
    ])


def _shortcut_signal(mock, name, shortcut):
    mock.EmitSignal(MAIN_IFACE, name, 'osta{sv}',
                    [dbus.ObjectPath(mock.session), shortcut, dbus.UInt64(0), {}])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Press(self, shortcut):
    _shortcut_signal(self, 'Activated', shortcut)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Release(self, shortcut):
    _shortcut_signal(self, 'Deactivated', shortcut)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def ChangeTrigger(self, shortcut, trigger):
    '''The user rebound the shortcut in the desktop's settings; an empty trigger clears its keys,
    and the desktop keeps listing it.'''
    self.bound[shortcut] = trigger
    self.EmitSignal(MAIN_IFACE, 'ShortcutsChanged', 'oa(sa{sv})',
                    [dbus.ObjectPath(self.session), _shortcut_list(self.bound)])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def CloseSession(self):
    '''The desktop ends the session, as when its shortcut service restarts, and forgets its
    shortcuts.'''
    self.bound.clear()
    mockobject.objects[self.session].EmitSignal(SESSION_IFACE, 'Closed', '', [])
    _close_session(mockobject.objects[self.session])


@dbus.service.method(MOCK_IFACE, in_signature='uas', out_signature='')
def AnswerBinds(self, response, refused):
    '''The response code of later binds, and the shortcuts they leave out.'''
    self.response = response
    self.refused = set(refused)


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def HoldBinds(self, holding):
    '''Whether later binds go unanswered.'''
    self.holding = holding


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def RefuseSessions(self, refusing):
    '''Whether later sessions fail to open.'''
    self.refusing_sessions = refusing


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def CloseAfterBinds(self, closing):
    '''Whether later sessions are closed as soon as their bind is answered.'''
    self.closing_after_bind = closing


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def Session(self):
    return self.session


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def BindCount(self):
    return self.binds


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def LastBind(self):
    return sorted(self.last_bind)
