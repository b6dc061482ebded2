-- Site database of site 4 (release 2.0): exception categories and alarms.
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
CREATE TABLE alarms (id LONG, raised DATETIME, text TEXT(100));
INSERT INTO EXCCS VALUES ('AC', 20, -1);
INSERT INTO EXCCS VALUES ('FIRE', 2, -1);
INSERT INTO alarms VALUES (17, '2001-06-03 04:12:00', 'Door 3 forced');
INSERT INTO alarms VALUES (18, '2001-06-03 04:15:30', 'Door 3 closed');
INSERT INTO alarms VALUES (25, '2001-07-14 22:01:00', 'Smoke detector 2');
