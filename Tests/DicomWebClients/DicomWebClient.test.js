// kestrum-host's DICOMweb service as a client written elsewhere sees it:
// dicomweb-client (with xhr2, the XMLHttpRequest it needs under Node.js)
// stores, searches and retrieves; curl sends what that client cannot
// (other media types, unknown query parameters). KESTRUM_HOST names the
// binary (CTest sets it); pydicom's bundled files are the data.
'use strict';

const assert = require('node:assert');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { after, before, describe, test } = require('node:test');

global.XMLHttpRequest = require('xhr2');
const { api } = require('dicomweb-client');

const SAMPLES = execFileSync('/usr/bin/python3', ['-c',
  'import os, pydicom.data as d; print(os.path.dirname(d.get_testdata_file("CT_small.dcm")))']).toString().trim();

// Three of pydicom's files, of three studies (dates 20040119, 20040826 and 20030716).
const CT = { file: 'CT_small.dcm', patient: '1CT1', modality: 'CT',
             study: '1.3.6.1.4.1.5962.1.2.1.20040119072730.12322',
             series: '1.3.6.1.4.1.5962.1.3.1.1.20040119072730.12322',
             sop: '1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322' };
const MR = { file: 'MR_small.dcm', patient: '4MR1', modality: 'MR',
             study: '1.3.6.1.4.1.5962.1.2.4.20040826185059.5457',
             series: '1.3.6.1.4.1.5962.1.3.4.1.20040826185059.5457',
             sop: '1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457' };
const PLAN = { file: 'rtplan.dcm', study: '1.22.333.4.555555.6.7777777777777777777777777777',
               sop: '1.2.777.777.77.7.7777.7777.20030903150023' };

const FAILED_SOP_SEQUENCE = '00081198';
const FAILURE_REASON = '00081197';
const REFERENCED_SOP_SEQUENCE = '00081199';
const REFERENCED_SOP_INSTANCE_UID = '00081155';
const STUDY_MISMATCH = 0xA900;

function read(sample) {
  return fs.readFileSync(path.join(SAMPLES, sample.file));
}

/** The file with its SOP Instance UID replaced by one of the same length (a new instance of the same series). */
function withSop(sample, sop) {
  assert.strictEqual(sop.length, sample.sop.length);
  const bytes = read(sample);
  let at = bytes.indexOf(sample.sop);
  while (at >= 0) {
    bytes.write(sop, at, 'latin1');
    at = bytes.indexOf(sample.sop, at + sop.length);
  }
  return bytes;
}

function buffer(bytes) {
  return bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
}

function value(item, tag) {
  return item[tag] && item[tag].Value ? item[tag].Value[0] : undefined;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

/** A kestrum-host with its DICOMweb service on, in a folder of its own. */
async function startHost() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'dicomweb-clients-'));
  const port = await freePort();
  fs.writeFileSync(path.join(folder, 'config.json'), JSON.stringify({
    HttpPort: port, DicomPort: 0, StorageDirectory: path.join(folder, 'storage'),
    DicomWeb: { Enable: true, Root: '/dicom-web/' }
  }));
  const log = fs.openSync(path.join(folder, 'host.log'), 'a');
  const child = spawn(process.env.KESTRUM_HOST, [path.join(folder, 'config.json')],
                      { cwd: folder, stdio: ['ignore', log, log] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const base = `http://127.0.0.1:${port}`;
  for (let i = 0; ; i++) {
    try {
      if ((await fetch(base + '/system')).status === 200) {
        break;
      }
    } catch (error) {
      // not listening yet
    }
    assert.ok(i < 300, 'kestrum-host did not start:\n' + fs.readFileSync(path.join(folder, 'host.log'), 'utf8'));
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return {
    base,
    async stop() {
      child.kill('SIGTERM');
      const status = await exited;
      fs.rmSync(folder, { recursive: true, force: true });
      return status;
    }
  };
}

/** curl's status and body for a request that the client library would not send. */
function curl(url, ...options) {
  const output = execFileSync('curl', ['-sS', '--noproxy', '*', '-w', '\n%{http_code}', ...options, url]).toString();
  const cut = output.lastIndexOf('\n');
  return { status: Number(output.slice(cut + 1)), body: output.slice(0, cut) };
}

describe('dicomweb-client against kestrum-host', () => {
  let host;
  let client;

  before(async () => {
    host = await startHost();
    client = new api.DICOMwebClient({ url: host.base + '/dicom-web', verbose: false });
    const answer = JSON.parse(await client.storeInstances({ datasets: [CT, MR, PLAN].map((s) => buffer(read(s))) }));
    assert.deepStrictEqual(answer[REFERENCED_SOP_SEQUENCE].Value.map((i) => value(i, REFERENCED_SOP_INSTANCE_UID)),
                           [CT.sop, MR.sop, PLAN.sop]);
  });

  after(async () => {
    assert.deepStrictEqual(await host.stop(), { code: 0, signal: null });
  });

  test('storing into a study keeps the instances of that study and refuses the others with a reason', async () => {
    const sameStudy = CT.sop.slice(0, -1) + (CT.sop.endsWith('9') ? '8' : '9');
    const answer = JSON.parse(await client.storeInstances({
      studyInstanceUID: CT.study, datasets: [buffer(withSop(CT, sameStudy)), buffer(read(MR))]
    }));
    assert.deepStrictEqual(answer[REFERENCED_SOP_SEQUENCE].Value.map((i) => value(i, REFERENCED_SOP_INSTANCE_UID)),
                           [sameStudy]);
    const failed = answer[FAILED_SOP_SEQUENCE].Value;
    assert.strictEqual(failed.length, 1);
    assert.strictEqual(value(failed[0], REFERENCED_SOP_INSTANCE_UID), MR.sop);
    assert.strictEqual(value(failed[0], FAILURE_REASON), STUDY_MISMATCH);

    const instances = await client.searchForInstances({ studyInstanceUID: CT.study });
    assert.deepStrictEqual(instances.map((i) => value(i, '00080018')).sort(), [CT.sop, sameStudy].sort());
  });

  test('study searches apply every matching key', async () => {
    const studies = async (queryParams) =>
      (await client.searchForStudies({ queryParams })).map((s) => value(s, '0020000D'));
    assert.deepStrictEqual(await studies({ PatientID: CT.patient }), [CT.study]);
    assert.deepStrictEqual(await studies({ PatientName: 'compressedsamples^?r*' }), [MR.study]);
    assert.deepStrictEqual(await studies({ StudyDate: '20040101-20040131' }), [CT.study]);
    assert.deepStrictEqual(await studies({ StudyDate: '-20031231' }), [PLAN.study]);
    assert.deepStrictEqual(await studies({ ModalitiesInStudy: 'MR' }), [MR.study]);
    assert.deepStrictEqual(await studies({ StudyInstanceUID: `${CT.study},${MR.study}` }), [CT.study, MR.study]);
    assert.deepStrictEqual(await studies({ PatientID: 'nobody' }), []);
    assert.strictEqual((await studies({})).length, 3);
    assert.deepStrictEqual(await studies({ limit: 1, offset: 1 }), [MR.study]);

    const [ct] = await client.searchForStudies({ queryParams: { PatientID: CT.patient } });
    assert.strictEqual(value(ct, '00201208'), 2, 'instances of the study');
    assert.deepStrictEqual(ct['00080061'].Value, ['CT']);
  });

  test('series and instance searches, in a study or across all', async () => {
    const series = await client.searchForSeries({ queryParams: { Modality: 'M?' } });
    assert.deepStrictEqual(series.map((s) => value(s, '0020000E')), [MR.series]);
    assert.strictEqual(value(series[0], '00201209'), 1);
    assert.deepStrictEqual(await client.searchForSeries({ studyInstanceUID: MR.study,
                                                          queryParams: { Modality: 'CT' } }), []);

    const instances = await client.searchForInstances({ studyInstanceUID: MR.study, seriesInstanceUID: MR.series,
                                                        queryParams: { includefield: 'PatientID' } });
    assert.strictEqual(instances.length, 1);
    assert.strictEqual(value(instances[0], '00080018'), MR.sop);
    assert.strictEqual(value(instances[0], '00100020'), MR.patient);
    const bySop = await client.searchForInstances({ queryParams: { SOPInstanceUID: PLAN.sop } });
    assert.deepStrictEqual(bySop.map((i) => value(i, '00080018')), [PLAN.sop]);
  });

  test('instances, series and studies come back as stored', async () => {
    const instance = await client.retrieveInstance({ studyInstanceUID: MR.study, seriesInstanceUID: MR.series,
                                                       sopInstanceUID: MR.sop });
    assert.ok(Buffer.from(instance).equals(read(MR)));
    assert.strictEqual((await client.retrieveSeries({ studyInstanceUID: CT.study,
                                                      seriesInstanceUID: CT.series })).length, 2);
    const study = await client.retrieveStudy({ studyInstanceUID: MR.study });
    assert.strictEqual(study.length, 1);
    assert.ok(Buffer.from(study[0]).equals(read(MR)));
  });

  test('metadata without bulk data', async () => {
    const [metadata] = await client.retrieveInstanceMetadata({ studyInstanceUID: MR.study,
                                                               seriesInstanceUID: MR.series, sopInstanceUID: MR.sop });
    assert.strictEqual(value(metadata, '00080018'), MR.sop);
    assert.deepStrictEqual(metadata['00100010'].Value, [{ Alphabetic: 'CompressedSamples^MR1' }]);
    assert.strictEqual(metadata['7FE00010'], undefined, 'no pixel data');
    assert.strictEqual((await client.retrieveStudyMetadata({ studyInstanceUID: CT.study })).length, 2);
    assert.strictEqual((await client.retrieveSeriesMetadata({ studyInstanceUID: CT.study,
                                                              seriesInstanceUID: CT.series })).length, 2);
  });

  test('what the host cannot produce is refused with 406', async () => {
    // The files are served as stored: another transfer syntax would need transcoding.
    const jpeg = 'multipart/related; type="application/dicom"; transfer-syntax=1.2.840.10008.1.2.4.50';
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/${MR.study}`, '-H', 'Accept: ' + jpeg).status, 406);
    const asStored = 'multipart/related; type="application/dicom"; transfer-syntax=*';
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/${MR.study}`, '-H', 'Accept: ' + asStored).status, 200);
    const xml = 'multipart/related; type="application/dicom+xml"';
    assert.strictEqual(curl(`${host.base}/dicom-web/studies`, '-H', 'Accept: ' + xml).status, 406);
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/${MR.study}/metadata`, '-H', 'Accept: ' + xml).status, 406);
    // Nothing is stored when the answer cannot be given.
    const unseen = CT.sop.slice(0, -1) + (CT.sop.endsWith('7') ? '6' : '7');
    const body = Buffer.concat([Buffer.from('--b\r\nContent-Type: application/dicom\r\n\r\n'), withSop(CT, unseen),
                                Buffer.from('\r\n--b--\r\n')]);
    const stow = await fetch(`${host.base}/dicom-web/studies`, {
      method: 'POST', body,
      headers: { Accept: 'application/dicom+xml', 'Content-Type': 'multipart/related; type="application/dicom"; boundary=b' }
    });
    assert.strictEqual(stow.status, 406);
    assert.deepStrictEqual(await client.searchForInstances({ queryParams: { SOPInstanceUID: unseen } }), []);
  });

  test('query parameters that are not understood are refused, never ignored', () => {
    for (const query of ['Foo=1', 'Modality=CT', 'StudyDate=2004', 'PatientID=a&PatientID=b',
                         'includefield=Nonsense', 'fuzzymatching=true', 'limit=-1']) {
      const answer = curl(`${host.base}/dicom-web/studies?${query}`);
      assert.strictEqual(answer.status, 400, query);
      assert.ok(JSON.parse(answer.body).Details, query);
    }
    assert.strictEqual(curl(`${host.base}/dicom-web/instances?00080018=${PLAN.sop}`).status, 200);
  });

  test('unknown resources answer 404', () => {
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/1.2.3`).status, 404);
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/${MR.study}/series/1.2.3/metadata`).status, 404);
    assert.strictEqual(curl(`${host.base}/dicom-web/studies/${MR.study}/frames`).status, 404);
  });
});
