-- Site database of site 7 (release 2.0): exception categories and alarms.
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
CREATE TABLE alarms (id LONG, raised DATETIME, text TEXT(100));
INSERT INTO EXCCS VALUES ('HVAC', 8, 0);
INSERT INTO alarms VALUES (3, '2001-02-11 13:40:00', 'Gate left open');
