-- Site database of site 4 (release 3.0).
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
INSERT INTO EXCCS VALUES ('FIRE', 3, -1);
CREATE TABLE alarms (id LONG, raised DATETIME, text TEXT(100));
INSERT INTO alarms VALUES (40, '2004-02-01 07:30:00', 'Door 1 forced');
INSERT INTO alarms VALUES (41, '2004-02-01 07:31:10', 'Door 1 closed');
