-- Site database of site 12 (release 2.0): exception categories and alarms.
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
CREATE TABLE alarms (id LONG, raised DATETIME, text TEXT(100));
INSERT INTO alarms VALUES (9, '2000-12-24 18:00:00', 'Power failure');
INSERT INTO alarms VALUES (10, '2000-12-24 18:42:00', 'Power restored');
