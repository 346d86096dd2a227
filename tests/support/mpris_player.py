'''python-dbusmock template: an MPRIS player whose track the test sets.

The track is one JSON text given to the Mock method SetTrack:
  {"status": "Playing", "title": "...", "artist": ["..."], "album": "...",
   "asText": "..." (left out: the player exports no lyrics),
   "trackid": "/org/example/1", "rolling": true (each read of the metadata
   gets a new track id), "slow": 3.0 (each property read first waits that long)}
'''
import json
import time

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.mpris.MediaPlayer2.veltranetest'
MAIN_OBJ = '/org/mpris/MediaPlayer2'
MAIN_IFACE = 'org.mpris.MediaPlayer2'
PLAYER_IFACE = 'org.mpris.MediaPlayer2.Player'
SYSTEM_BUS = False


def metadata(track, serial):
    data = {'mpris:trackid': dbus.ObjectPath(track.get('trackid', '/org/example/1') +
                                             (str(serial) if track.get('rolling') else ''))}
    if 'title' in track:
        data['xesam:title'] = dbus.String(track['title'])
    if 'artist' in track:
        data['xesam:artist'] = dbus.Array(track['artist'], signature='s')
    if 'album' in track:
        data['xesam:album'] = dbus.String(track['album'])
    if 'asText' in track:
        data['xesam:asText'] = dbus.String(track['asText'])
    return dbus.Dictionary(data, signature='sv')


def load(mock, parameters):
    mock.track = {'status': 'Stopped'}
    mock.serial = 0
    mock.AddProperties(PLAYER_IFACE, dbus.Dictionary({
        'PlaybackStatus': 'Stopped',
        'Metadata': metadata({}, 0),
    }, signature='sv'))
    original = mock.GetAll

    # Get reads through GetAll: the player's answers are made at each read.
    def answers(interface_name, *args, **kwargs):
        props = original(interface_name, *args, **kwargs)
        if interface_name != PLAYER_IFACE:
            return props
        time.sleep(float(mock.track.get('slow', 0)))
        mock.serial += 1
        props = dict(props)
        props['PlaybackStatus'] = dbus.String(mock.track.get('status', 'Playing'))
        props['Metadata'] = metadata(mock.track, mock.serial)
        return dbus.Dictionary(props, signature='sv')

    mock.GetAll = answers


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetTrack(self, text):
    self.track = json.loads(text)
