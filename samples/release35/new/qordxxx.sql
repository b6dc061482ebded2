-- Template of a new site database: the mapping, the pre-filled EXCCS
-- categories and the empty tables of a site.
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);
INSERT INTO qorreleases VALUES (3, '3.5', 1, 230);
INSERT INTO qorreleases VALUES (4, '3.5', 2, 251);
INSERT INTO qorreleases VALUES (5, '4.0', 0, 300);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
-- boards: plain append (mode A); types are shifted and renamed afterwards.
INSERT INTO export VALUES (10, 'boards', 'boardID', 'boards', 'boardID', 0, 1);
INSERT INTO export VALUES (10, 'boards', 'boardtype', 'boards', 'boardtype', 0, 1);
INSERT INTO export VALUES (10, 'boards', 'Name', 'boards', 'Name', 0, 1);
-- commands: plain append of the command ids (mode A).
INSERT INTO export VALUES (11, 'commands', 'cmdid', 'commands', 'cmdid', 0, 1);
INSERT INTO export VALUES (11, 'commands', 'description', 'commands', 'description', 0, 1);
-- alarms: new first field numbered 1, 2, 3, ... (mode C).
INSERT INTO export VALUES (12, 'alarms', 'alarmNo', 'alarms', 'alarmNo', -1, 1);
INSERT INTO export VALUES (12, 'alarms', 'text', 'alarms', 'text', 0, 1);
INSERT INTO export VALUES (12, 'alarms', 'priority', 'alarms', 'priority', 0, 1);
-- events: first two fields numbered, the rest filled in a second pass (mode D).
INSERT INTO export VALUES (13, 'events', 'eventID', 'events', 'eventID', -1, 1);
INSERT INTO export VALUES (13, 'events', 'eventID', 'events', 'sequence', -1, 1);
INSERT INTO export VALUES (13, 'events', 'occurred', 'events', 'occurred', 0, 1);
INSERT INTO export VALUES (13, 'events', 'detail', 'events', 'detail', 0, 1);
-- EXCCS: old rows overwrite the pre-filled rows of their category.
INSERT INTO export VALUES (14, 'EXCCS', 'CAT', 'EXCCS', 'CAT', 0, 1);
INSERT INTO export VALUES (14, 'EXCCS', 'threshold', 'EXCCS', 'threshold', 0, 1);
INSERT INTO export VALUES (14, 'EXCCS', 'enabled', 'EXCCS', 'enabled', 0, 1);
-- cmdidguid: single-field copy (mode F) with the next command id recomputed.
INSERT INTO export VALUES (15, 'cmdidguid', 'nextcmdid', 'cmdidguid', 'nextcmdid', 0, 1);
-- schedules: plain append; keyed by cmdid as well.
INSERT INTO export VALUES (16, 'schedules', 'cmdid', 'schedules', 'cmdid', 0, 1);
INSERT INTO export VALUES (16, 'schedules', 'startTime', 'schedules', 'startTime', 0, 1);

CREATE TABLE boards (boardID LONG PRIMARY KEY, boardtype LONG, Name TEXT(50));
CREATE TABLE commands (cmdid LONG PRIMARY KEY, description TEXT(50));
CREATE TABLE alarms (alarmNo SHORT PRIMARY KEY, text TEXT(60), priority BYTE DEFAULT 3);
CREATE TABLE events (eventID LONG PRIMARY KEY, sequence LONG, occurred DATETIME,
                     detail TEXT(80));
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG DEFAULT 0, enabled YESNO DEFAULT 0,
                    description TEXT(40));
INSERT INTO EXCCS VALUES ('AC', 10, 0, 'Access control');
INSERT INTO EXCCS VALUES ('FIRE', 1, -1, 'Fire panel');
INSERT INTO EXCCS VALUES ('HVAC', 5, 0, 'Heating and ventilation');
CREATE TABLE cmdidguid (nextcmdid LONG);
INSERT INTO cmdidguid VALUES (1);
CREATE TABLE schedules (cmdid LONG, startTime TEXT(5));
