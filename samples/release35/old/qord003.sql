-- Old site database qord003 of a release 3.5 installation.
CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));
INSERT INTO boards VALUES (1, 5, 'Analog 8');
INSERT INTO boards VALUES (2, 18, 'Digital 16');
INSERT INTO boards VALUES (3, 19, 'Relay 8');
INSERT INTO boards VALUES (4, 25, 'Console');
CREATE TABLE commands (cmdid LONG, description TEXT(50));
INSERT INTO commands VALUES (70, 'Open gate');
INSERT INTO commands VALUES (95, 'Close gate');
INSERT INTO commands VALUES (120, 'Sound alarm');
CREATE TABLE schedules (cmdid LONG, startTime TEXT(5));
INSERT INTO schedules VALUES (95, '06:30');
INSERT INTO schedules VALUES (104, '22:00');
-- Keys of the panel firmware: not command ids, never counted.
CREATE TABLE NON_PROG_KEYS (cmdid LONG, keyName TEXT(20));
INSERT INTO NON_PROG_KEYS VALUES (500, 'F1');
CREATE TABLE alarms (alarmNo LONG, text TEXT(60), priority LONG);
INSERT INTO alarms VALUES (17, 'Door forced', 1);
INSERT INTO alarms VALUES (23, 'Mains failure', 2);
INSERT INTO alarms VALUES (40, 'Low battery', 4);
CREATE TABLE events (eventID LONG, occurred DATETIME, detail TEXT(80));
INSERT INTO events VALUES (900, '2026-03-01 08:15:00', 'System armed');
INSERT INTO events VALUES (901, '2026-03-01 17:40:12', 'System disarmed');
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
INSERT INTO EXCCS VALUES ('AC', 30, -1);
INSERT INTO EXCCS VALUES ('fire', 2, -1);
-- The next command id as the old release kept it (it lags behind).
CREATE TABLE cmdidguid (nextcmdid LONG);
INSERT INTO cmdidguid VALUES (71);
