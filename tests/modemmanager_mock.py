'''ModemManager with one modem, for tests (a python-dbusmock template).

Parameters: "ports" (the modem's ports below /dev: a name, an AT port, or [name, type] with
ModemManager's port type), "primary" (its primary port), "device" (its device id),
"manufacturer" and "model" (empty when it has not told), "delay" (seconds it takes to list its modems, as
when it is busy probing them).
'''

import dbus

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True
AT_PORT = 3


def load(mock, parameters):
    ports = [port if isinstance(port, list) else [port, AT_PORT]
             for port in parameters.get('ports', [])]
    mock.AddObject(MAIN_OBJ + '/Modem/0', 'org.freedesktop.ModemManager1.Modem', {
        'Ports': dbus.Array([dbus.Struct((name, dbus.UInt32(kind)), signature='su')
                             for name, kind in ports], signature='(su)'),
        'PrimaryPort': dbus.String(parameters.get('primary', '')),
        'Device': dbus.String(parameters.get('device', '')),
        'Manufacturer': dbus.String(parameters.get('manufacturer', '')),
        'Model': dbus.String(parameters.get('model', '')),
    }, [])
    if parameters.get('delay'):
        mock.AddMethod('org.freedesktop.DBus.ObjectManager', 'GetManagedObjects', '',
                       'a{oa{sa{sv}}}',
                       'import time\ntime.sleep(%s)\n' % float(parameters['delay'])
                       + "ret = {dbus.ObjectPath(k): objects[k].props for k in objects.keys() "
                       "if k.startswith('" + MAIN_OBJ + "/')}")
