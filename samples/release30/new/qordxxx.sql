-- Template of a new site database: the mappings, the pre-filled EXCCS
-- categories and the empty tables of a site.
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
INSERT INTO export VALUES (10, 'EXCCS', 'CAT', 'EXCCS', 'CAT', 0, 1);
INSERT INTO export VALUES (10, 'EXCCS', 'threshold', 'EXCCS', 'threshold', 0, 1);

CREATE TABLE export3035 (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                         newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO);
-- EXCCS: old rows overwrite the pre-filled rows of their category.
INSERT INTO export3035 VALUES (10, 'EXCCS', 'CAT', 'EXCCS', 'CAT', 0);
INSERT INTO export3035 VALUES (10, 'EXCCS', 'threshold', 'EXCCS', 'threshold', 0);
INSERT INTO export3035 VALUES (10, 'EXCCS', 'enabled', 'EXCCS', 'enabled', 0);
-- alarms: new first field numbered 1, 2, 3, ... (mode C).
INSERT INTO export3035 VALUES (20, 'alarms', 'id', 'alarmlog', 'alarmNo', -1);
INSERT INTO export3035 VALUES (20, 'alarms', 'raised', 'alarmlog', 'raisedAt', 0);
INSERT INTO export3035 VALUES (20, 'alarms', 'text', 'alarmlog', 'message', 0);

CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG DEFAULT 0, enabled YESNO DEFAULT 0,
                    description TEXT(40));
INSERT INTO EXCCS VALUES ('AC', 10, 0, 'Access control');
INSERT INTO EXCCS VALUES ('FIRE', 1, -1, 'Fire panel');
INSERT INTO EXCCS VALUES ('HVAC', 5, 0, 'Heating and ventilation');
CREATE TABLE alarmlog (alarmNo SHORT PRIMARY KEY, raisedAt DATETIME, message TEXT(100));
