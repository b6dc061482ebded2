-- Old site database qord047 of a release 3.5 installation.
CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));

CREATE TABLE commands (cmdid LONG, description TEXT(50));

CREATE TABLE schedules (cmdid LONG, startTime TEXT(5));

-- Keys of the panel firmware: not command ids, never counted.
CREATE TABLE NON_PROG_KEYS (cmdid LONG, keyName TEXT(20));
INSERT INTO NON_PROG_KEYS VALUES (500, 'F1');
CREATE TABLE alarms (alarmNo LONG, text TEXT(60), priority LONG);

CREATE TABLE events (eventID LONG, occurred DATETIME, detail TEXT(80));

CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);

-- The next command id as the old release kept it (it lags behind).
CREATE TABLE cmdidguid (nextcmdid LONG);
INSERT INTO cmdidguid VALUES (71);
