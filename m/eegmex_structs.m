function s = eegmex_structs(kind, c)
% EEGMEX_STRUCTS  Columns of eegmex_formats, the module behind the readers, as struct arrays.
%   s = eegmex_structs('markers', columns): a 1 x n struct array of markers (eegmex_vmrk).
%   s = eegmex_structs('events', columns): a 1 x n struct array of events (eegmex_edf).
%   Used by eegmex_vmrk, eegmex_edf and eegmex_events.
  n = numel(c.position);
  if strcmp(kind, 'markers')
    if n == 0
      s = struct('type', {}, 'description', {}, 'position', {}, 'points', {}, 'channel', {}, 'date', {});
      return;
    end
    s = struct('type', c.type, 'description', c.description, 'position', num2cell(c.position), ...
               'points', num2cell(c.points), 'channel', num2cell(c.channel), 'date', c.date);
  else
    if n == 0
      s = struct('type', {}, 'onset', {}, 'duration', {}, 'text', {}, 'value', {}, 'position', {}, 'status', {});
      return;
    end
    types = {'annotation', 'status'};
    s = struct('type', types(c.isStatus + 1), 'onset', num2cell(c.onset), 'duration', num2cell(c.duration), ...
               'text', c.text, 'value', num2cell(c.value), 'position', num2cell(c.position), ...
               'status', num2cell(c.statusWord));
  end
end
