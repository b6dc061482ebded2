-- Old site database qord012 of a release 3.5 installation.
CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));
INSERT INTO boards VALUES (1, 18, 'Digital 16');
INSERT INTO boards VALUES (2, 24, 'Modem');
CREATE TABLE commands (cmdid LONG, description TEXT(50));
INSERT INTO commands VALUES (71, 'Pump on');
INSERT INTO commands VALUES (72, 'Pump off');
CREATE TABLE schedules (cmdid LONG, startTime TEXT(5));

-- Keys of the panel firmware: not command ids, never counted.
CREATE TABLE NON_PROG_KEYS (cmdid LONG, keyName TEXT(20));
INSERT INTO NON_PROG_KEYS VALUES (500, 'F1');
CREATE TABLE alarms (alarmNo LONG, text TEXT(60), priority LONG);
INSERT INTO alarms VALUES (5, 'High level', 1);
CREATE TABLE events (eventID LONG, occurred DATETIME, detail TEXT(80));
INSERT INTO events VALUES (12, '2026-02-11 03:00:00', 'Pump started');
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
INSERT INTO EXCCS VALUES ('HVAC', 9, -1);
-- The next command id as the old release kept it (it lags behind).
CREATE TABLE cmdidguid (nextcmdid LONG);
INSERT INTO cmdidguid VALUES (71);
