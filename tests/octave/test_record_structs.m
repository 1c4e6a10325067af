% The records the readers return (markers of eegmex_vmrk and eegmex_events, events of eegmex_edf and
% eegmex_events) are the struct arrays the module makes: in one step in the native function, element
% by element in the MEX function. Both flavours must give the same struct array, field by field and
% element by element, with the classes and sizes of values built one at a time here, on a marker file
% with many markers (runs of one type, empty and odd texts, large positions), on a BDF+ file with
% annotations and Status changes, and on files without records (0 x 0 with the fields). A value the
% native function shares between elements stays each element's own when one of them is changed.
1;

% A marker file of n markers and what each holds, as the test wrote it.
function [file, expected] = markerFile(n)
  mu = char([194 181]);  % µ in UTF-8, as Octave holds text
  types = {'Stimulus', 'Stimulus', 'Stimulus', 'Response', 'Comment', 'New Segment', ''};
  descs = {'S  1', 'S  1', '', 'R  8', ['drift, 3 ' mu 'V'], '', 'x'};
  lines = {'Brain Vision Data Exchange Marker File, Version 1.0', '', '[Common Infos]', 'Codepage=UTF-8', ...
           'DataFile=none.eeg', '', '[Marker Infos]'};
  expected = repmat(struct('type', '', 'description', '', 'position', 0, 'points', 0, 'channel', 0, 'date', ''), 1, n);
  for k = 1:n
    j = mod(floor(k / 3), numel(types)) + 1;  % runs of three of one kind
    m.type = types{j};
    m.description = descs{j};
    m.position = 1 + floor(k / 2) * 7 + (k == n) * 2^40;  % pairs at one position; a last one far on
    m.points = 1 + (mod(k, 50) == 0) * 99;
    m.channel = (mod(k, 97) == 0) * 3;
    m.date = '';
    if strcmp(m.type, 'New Segment')
      m.date = sprintf('2026120812%02d%02d000000', mod(k, 60), mod(k, 7));
    end
    expected(k) = m;
    lines{end + 1} = sprintf('Mk%d=%s,%s,%d,%d,%d,%s', k, strrep(m.type, ',', '\1'), ...
                             strrep(m.description, ',', '\1'), m.position, m.points, m.channel, m.date);
  end
  file = [tempname() '.vmrk'];
  fid = fopen(file, 'w');
  fprintf(fid, '%s\n', lines{:});
  fclose(fid);
end

% A BDF+ file: 2 s records, a data channel, a Status channel, and annotations with empty, repeated
% and UTF-8 texts. With annotations, the Status channel changes every 50 samples; without, never.
function file = bdfFile(annotations)
  file = [tempname() '.bdf'];
  py = sprintf(['import sys, numpy as np; sys.path.insert(0, "%s"); import write_edf as w\n' ...
                'n = 40; status = (np.arange(n * 64) // 50 %% 5) * %d + (3 << 16)\n' ...
                'a = [w.Annotation(0.25 * k, 0.5 if k %% 4 else None, ["Stim", "Stim", "", "\\u00b5V, x"][k %% 4]) ' ...
                'for k in range(%d)]\n' ...
                'w.write("%s", [w.Signal("Fz", 64, np.zeros(n * 64)), w.Signal("Status", 64, status), ' ...
                'w.Signal("EDF Annotations", 60, annotation=True)], "2", n, bdf=True, plus=True, annotations=a)\n'], ...
               fullfile(getenv('EEGMEX_SOURCE'), 'tests', 'edf'), annotations > 0, annotations, file);
  [status, out] = system(sprintf('/usr/bin/python3 -c ''%s''', py));
  assert(status == 0, 'writing the BDF+ file: %s', out);
end

% Same fields in the same order, same size, and per element and field the same class, size and value.
function sameRecords(a, b, what)
  kinds = @(s) cellfun(@(v) [class(v) sprintf(' %d', size(v))], struct2cell(s(:)), 'UniformOutput', false);
  assert(isequal(fieldnames(a), fieldnames(b)) && isequal(size(a), size(b)) && isequal(kinds(a), kinds(b)) ...
         && isequaln(struct2cell(a(:)), struct2cell(b(:))), '%s: the struct arrays differ', what);
end

% Every reader's records under one flavour: the module in `folder` (the readers stay in the build
% tree, with the native module; the MEX module's folder goes before it for the call).
function o = observe(build, folder, ext, vmrk, empty, bdf, edfEmpty)
  if ~strcmp(folder, build)
    addpath(folder);
  end
  clear eegmex_formats
  [d, ~, e] = fileparts(which('eegmex_formats'));
  assert(strcmp(d, folder) && strcmp(e, ext), 'eegmex_formats resolves to %s', which('eegmex_formats'));
  o.vmrk = eegmex_vmrk(vmrk);
  o.vmrkEvents = eegmex_events(struct('markerFile', vmrk), []);
  o.vmrkEmpty = eegmex_vmrk(empty);
  o.vmrkEmptyEvents = eegmex_events(struct('markerFile', empty), []);
  [HDR, o.edf] = eegmex_edf(bdf);
  o.edfEvents = eegmex_events(HDR, [], 1e9);
  [HDR, o.edfEmpty] = eegmex_edf(edfEmpty);
  o.edfEmptyEvents = eegmex_events(HDR, []);
  if ~strcmp(folder, build)
    rmpath(folder);
  end
  clear eegmex_formats
end

build = getenv('EEGMEX_BUILD');
% EEGMEX_RECORD_MARKERS sets another count (the memory check under valgrind takes 100: the comparisons
% run in the interpreter, some fifty times slower there).
markers = str2double(getenv('EEGMEX_RECORD_MARKERS'));
if isnan(markers)
  markers = 1000;
end
[vmrk, expected] = markerFile(markers);
empty = [tempname() '.vmrk'];
fid = fopen(empty, 'w');
fprintf(fid, 'Brain Vision Data Exchange Marker File, Version 1.0\n\n[Common Infos]\nCodepage=UTF-8\n\n[Marker Infos]\n');
fclose(fid);
bdf = bdfFile(120);
edfEmpty = bdfFile(0);
cleanup = onCleanup(@() cellfun(@delete, {vmrk, empty, bdf, edfEmpty}));

mexFolder = fullfile(build, 'mex');
if any(strcmp(strsplit(path(), pathsep), mexFolder))  % the MEX flavour's run has it on the path
  rmpath(mexFolder);
end
native = observe(build, build, '.oct', vmrk, empty, bdf, edfEmpty);
mex = observe(build, mexFolder, ['.' mexext], vmrk, empty, bdf, edfEmpty);
for f = fieldnames(native)'
  sameRecords(native.(f{1}), mex.(f{1}), f{1});
end

% The markers as written, built one at a time above.
sameRecords(native.vmrk, expected, 'vmrk');
sameRecords(native.vmrkEvents, expected, 'vmrkEvents');
sameRecords(native.vmrkEmpty, expected([]), 'vmrkEmpty');
sameRecords(native.vmrkEmptyEvents, expected([]), 'vmrkEmptyEvents');
assert(isequal(size(native.vmrkEmpty), [0 0]));

% Events: annotations and Status changes, as a follower gives them too (which leaves the last Status run
% open: its duration is not yet known).
assert(all(ismember({'annotation', 'status'}, {native.edf.type})));
sameRecords(native.edfEvents(1:end - 1), native.edf(1:end - 1), 'edfEvents');
noEvents = struct('type', {}, 'onset', {}, 'duration', {}, 'text', {}, 'value', {}, 'position', {}, 'status', {});
sameRecords(native.edfEmpty, noEvents, 'edfEmpty');
sameRecords(native.edfEmptyEvents, noEvents, 'edfEmptyEvents');

% A change to one element leaves the elements it shared a value with as they were.
M = native.vmrk;
M(4).type(1) = 'X';
M(1).points += 1;
assert(isequal(M(5), expected(5)) && isequal(M(2), expected(2)) && M(4).type(1) == 'X' && M(1).points == 2);
disp('test_record_structs: ok');
